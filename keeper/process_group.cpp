#include "process_group.h"

#include <errno.h>
#include <signal.h>

#include "corvel/clock.h"
#include "pid_fd.h"
#include "proc_stat.h"

namespace tendwell {

namespace {

// How long the members left behind get to end after SIGTERM.
constexpr uint64_t kGraceNs = 1000000000;
constexpr int kLookMs = 10;

}  // namespace

bool SignalGroup(pid_t pgid, int signo) {
    if (pgid < 2) return false;
    return kill(-pgid, signo) == 0;
}

bool SignalGroupOf(int leader_fd, pid_t pgid, int signo) {
    const int error = SignalPidFdGroup(leader_fd, signo);
    if (error != EINVAL) return error == 0;
    // Older kernels find a group only by its id, which is the process's own while the
    // process is not reaped.
    return PidFdUnreaped(leader_fd) && SignalGroup(pgid, signo);
}

void EndGroupRest(pid_t pgid) {
    if (pgid < 2 || !GroupHasLiveMember(pgid)) return;
    SignalGroup(pgid, SIGTERM);
    const uint64_t start_ns = corvel::monotonic_ns();
    while (GroupHasLiveMember(pgid)) {
        if (corvel::monotonic_ns() - start_ns >= kGraceNs) {
            SignalGroup(pgid, SIGKILL);
            return;
        }
        corvel::sleep_ms(kLookMs);
    }
}

}  // namespace tendwell
