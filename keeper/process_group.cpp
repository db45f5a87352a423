#include "process_group.h"

#include <signal.h>

#include "corvel/clock.h"
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
