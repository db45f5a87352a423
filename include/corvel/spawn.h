// Starting "/bin/sh" for a shell command or a kept process, with posix_spawn, which
// copies no page tables as fork does (a fork of a daemon with a thousand threads
// costs twenty times more). What the shell cannot be given that way, a wait at a
// gate and the descriptor limit this process had before raise_fd_limit, the gate
// program gives it: the child starts as that program, in memory of its own, which
// then runs the shell in its place.
#pragma once

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

// Why the gate program is run from its file rather than from a copy in memory.
struct GateUncopied {
    // The error why; 0 when the copy is run.
    int error = 0;
    // The file may be run but not read, so it could not be copied; otherwise the
    // system refused a runnable memory file.
    bool unreadable = false;
};

// Takes the gate program (corvel/gate) at path for every later start that needs
// it: a start at a gate, one with null_stdio, and every start once raise_fd_limit
// has raised the limit; before the first call such a start fails with ENOENT.
// The file is opened and checked here, through its descriptor, and what is run is
// a sealed copy of it in memory, so a file changed or replaced at path later
// changes no start. Where this process may run the file but not read it, or the
// system refuses a runnable memory file, the opened file itself is run, and
// *uncopied (unless null) says why. Call it before anything is started: a later
// call replaces the program. False with errno when the file cannot be run.
bool use_gate_program(const char* path, GateUncopied* uncopied = nullptr);

// Starts the shell running command and returns once it runs (or the gate
// program that runs it at once); its pid, or -1 with errno.
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
// group, as the gate program, and runs nothing until the gate is released. When
// the process holding the gate ends first, it ends without running anything.
// Without null_stdio it has the gate on descriptor 3 instead of what the caller
// has there. Not thread-safe: its owner serialises the calls.
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
    // Closes the gate once the shell has left it; with wait, waits for that. True
    // once settled.
    bool settle(bool wait);

private:
    int fd_ = -1;
    pid_t pid_ = -1;
    bool held_ = false;
};

}  // namespace corvel
