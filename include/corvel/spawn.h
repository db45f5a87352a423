// Starting "/bin/sh" for a shell command or a kept process. The child is made
// with posix_spawn, which shares the caller's memory until the exec instead of
// copying its page tables as fork does: a daemon with many threads starts its
// children as cheaply as a small program.
#pragma once

#include <sys/types.h>

namespace corvel {

// How the shell starts. It always starts with default signal dispositions and an
// empty signal mask, whatever the caller handles, ignores or blocks.
struct ShellSetup {
    // "/bin/sh -l -c command", a login shell, instead of "sh -c command".
    bool login = false;
    // The shell leads a process group of its own, which exists once spawn_shell
    // has returned.
    bool new_group = false;
    // Every descriptor is closed and "/dev/null" opened on 0 to 2.
    bool null_stdio = false;
    // Otherwise, unless -1: the shell's standard input, output and error; the
    // shell inherits what the caller has open without close-on-exec.
    int stdio_fd = -1;
};

// The wait status of a shell that could not be run: as if it had exited with 127.
constexpr int kShellNotRunStatus = 127 << 8;

// Starts the shell running command; its pid, or -1 with errno.
pid_t spawn_shell(const char* command, const ShellSetup& setup);

// Whether the error of a failed spawn_shell means that no process could be made
// (as when fork fails) rather than that the shell could not be run in it.
bool spawn_made_no_process(int error);

}  // namespace corvel
