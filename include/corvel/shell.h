// Shell commands, with a time-out or through a socket pair. Failures are -1 with
// errno set; time-outs are in milliseconds, below 0 meaning none.
#pragma once

#include <stdint.h>
#include <sys/types.h>

namespace corvel {

// Runs "/bin/sh -c command" and returns its raw wait status. With a time-out the
// shell leads a new process group, which is killed (SIGKILL, SIGCONT) at the
// deadline. A null command gives 1.
int run_shell_command(const char* command, int32_t timeout_ms);
// Runs the shell through an intermediate child that reports the wait status; at
// the deadline the call fails with ETIMEDOUT and leaves the shell running.
int run_shell_command_detached(const char* command, int timeout_ms);

// A shell started by open_shell_command: the caller's end of the socket pair and
// the shell's pid.
struct ShellCommand {
    int fd;
    pid_t pid;
};
// Starts "/bin/sh -c command" in a new process group with one end of a Unix stream
// socket pair as its standard input, output and error; returns the other end and
// stores a handle for close_shell_command in *handle.
int open_shell_command(const char* command, ShellCommand** handle);
// Closes the descriptor and frees the handle. Without time-out waits for the shell
// and returns 0; with one kills its group at the deadline and returns the wait
// status.
int close_shell_command(ShellCommand* handle, int timeout_ms);

}  // namespace corvel
