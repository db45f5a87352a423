// Signalling the process group a kept process leads.
#pragma once

#include <sys/types.h>

namespace tendwell {

// Never signals a group id below 2: kill(-1) would reach every process and kill(0)
// the keeper's own group.
bool SignalGroup(pid_t pgid, int signo);

// Signals the group whose id is the pid of the process leader_fd names (a descriptor
// of OpenPidFd), never one that took the id after that process was reaped.
bool SignalGroupOf(int leader_fd, pid_t pgid, int signo);

// Reaps leader, an ended child of this process that leads a group of its own, and ends
// what is left of its group: SIGTERM (and SIGCONT), up to a second for the members to
// go, then SIGKILL.
void EndGroupRest(pid_t leader);

}  // namespace tendwell
