// Starting "/bin/sh" for a shell command or a kept process. The child shares the
// caller's memory until it runs the shell instead of copying its page tables as
// fork does (a fork of a daemon with a thousand threads costs ten times more), and
// sets itself up with system calls of its own, so that it can also wait at a gate
// and take back the descriptor limit this process had before raise_fd_limit.
#pragma once

#include <stddef.h>
#include <sys/types.h>

namespace corvel {

// How the shell starts. It always starts with default signal dispositions and an
// empty signal mask, whatever the caller handles, ignores or blocks.
struct ShellSetup {
    // "/bin/sh -l -c command", a login shell, instead of "sh -c command".
    bool login = false;
    // The shell leads a process group of its own, which exists once the shell's
    // start has returned.
    bool new_group = false;
    // Every descriptor is closed and "/dev/null" opened on 0 to 2.
    bool null_stdio = false;
    // Otherwise, unless -1: the shell's standard input, output and error; the
    // shell inherits what the caller has open without close-on-exec.
    int stdio_fd = -1;
};

// The wait status of a shell that could not be run: as if it had exited with 127.
constexpr int kShellNotRunStatus = 127 << 8;

// Starts the shell running command and returns once it runs; its pid, or -1 with
// errno.
pid_t spawn_shell(const char* command, const ShellSetup& setup);

// Whether the error of a failed start means that no process could be made (no
// memory, process or descriptor for it) rather than that the shell could not be
// run in it.
bool spawn_made_no_process(int error);

// Raises this process's soft limit of open descriptors to its hard limit; every
// child started here from then on (kept processes and shell commands) gets back
// the soft limit this process had before the first call. The soft limit now in
// force, or -1 with errno.
int raise_fd_limit();

// A shell started at a gate: the process exists, with its pid and its process
// group, but runs nothing until the gate is released. When the process holding
// the gate ends first, the shell ends without running anything. Not thread-safe:
// its owner serialises the calls.
class ShellGate {
public:
    ShellGate() = default;
    // A shell still held is ended as refuse does, and reaped.
    ~ShellGate();
    ShellGate(const ShellGate&) = delete;
    ShellGate& operator=(const ShellGate&) = delete;

    // Starts the shell held at the gate; its pid, or -1 with errno. Only once the
    // previous shell has been settled (fd() is -1).
    pid_t start(const char* command, const ShellSetup& setup);
    // Whether the started shell still waits for release or refuse.
    bool held() const { return held_; }
    // Lets the held shell run its command.
    void release();
    // Ends the held shell with SIGKILL before it runs anything; its parent still
    // reaps it.
    void refuse();
    // -1 once settled; before, a descriptor that polls as hung up once the shell
    // has left the gate (runs its command, or has ended).
    int fd() const { return fd_; }
    // Frees what the shell was started with once it has left the gate; with wait,
    // waits for that. True once settled.
    bool settle(bool wait);

private:
    // The child's plan, argument copies and stack, in use until it leaves the gate.
    void* block_ = nullptr;
    size_t block_size_ = 0;
    int fd_ = -1;
    pid_t pid_ = -1;
    bool held_ = false;
};

}  // namespace corvel
