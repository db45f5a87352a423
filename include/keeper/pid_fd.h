// Process descriptors (pidfd): a hold on one process that a later process with the
// same pid never shares, so that a wait or a signal through it reaches that process
// only.
#pragma once

#include <sys/types.h>

namespace tendwell {

// A descriptor of the process at pid, or -1 (errno set) where the kernel has none or
// no process has the pid. It names whoever has the pid now: the caller checks that
// this is the process meant, or holds the pid itself (an unreaped child).
int OpenPidFd(pid_t pid);

// Whether the process has ended, reaped or not, waiting for it up to wait_ms; fd
// becomes readable then.
bool PidFdEnded(int fd, int wait_ms = 0);

// Sends signo, through the process's descriptor, to the process group whose id is its
// pid, found by the process rather than by the number. 0, or the error: ESRCH when no
// such group is left, EINVAL on kernels that signal only the process itself (before
// Linux 6.9).
int SignalPidFdGroup(int fd, int signo);

// Whether the process has not been reaped: its pid, and a group of that id, are then
// still its own.
bool PidFdUnreaped(int fd);

}  // namespace tendwell
