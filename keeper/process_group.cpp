#include "process_group.h"

#include <errno.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "corvel/clock.h"
#include "keeper/pid_fd.h"
#include "keeper/proc_stat.h"

namespace tendwell {

namespace {

// How long the members left behind get to end after SIGTERM.
constexpr uint64_t kGraceNs = 1000000000;
constexpr int kLookMs = 10;

void Reap(pid_t child) {
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
}

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

void EndGroupRest(pid_t leader) {
    if (leader < 2) return;
    // Not reaped yet, the leader holds its pid: the descriptor is its own.
    const int fd = OpenPidFd(leader);
    // Where the kernel finds the group through that descriptor, the leader is reaped
    // at once, so that a group with none left is gone, which kill tells without a look
    // at /proc; a group that took the id since is never signalled. Elsewhere the
    // leader keeps the id from being taken until the rest has ended, and is counted
    // as a member meanwhile.
    const bool by_fd = fd >= 0 && SignalPidFdGroup(fd, 0) == 0;
    if (by_fd) Reap(leader);
    auto signal = [&](int signo) {
        return by_fd ? SignalPidFdGroup(fd, signo) == 0 : SignalGroup(leader, signo);
    };
    // A signal that reaches no one leaves no member to wait for. A stopped member
    // would hold its SIGTERM pending until the SIGKILL: it is continued.
    if (GroupHasLiveMember(leader) && signal(SIGTERM)) {
        signal(SIGCONT);
        const uint64_t start_ns = corvel::monotonic_ns();
        while (GroupHasLiveMember(leader)) {
            if (corvel::monotonic_ns() - start_ns >= kGraceNs) {
                signal(SIGKILL);
                break;
            }
            corvel::sleep_ms(kLookMs);
        }
    }
    if (!by_fd) Reap(leader);
    if (fd >= 0) close(fd);
}

}  // namespace tendwell
