// The gate program: every kept process starts as it, in a process of its own,
// and it then runs the shell in its place, so the pid stays the same. It takes
// back the children's descriptor limit, closes what the shell must not inherit
// and, held, waits for the go before it runs anything. It calls nothing but thin
// system-call wrappers of the C library. Its command line: gate_command.h.
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include "gate_command.h"

extern char** environ;

namespace {

using namespace corvel::gate;

void CloseFrom(unsigned first) {
    if (close_range(first, ~0U, 0) == 0) return;
    // Kernels before 5.9: each descriptor the limit allows.
    struct rlimit limit;
    const rlim_t ceiling =
        getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < INT_MAX ? limit.rlim_cur : INT_MAX;
    for (rlim_t fd = first; fd < ceiling; ++fd) close(static_cast<int>(fd));
}

// A limit that cannot be set back leaves the raised one.
void SetFdLimit(rlim_t soft) {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    limit.rlim_cur = soft < limit.rlim_max ? soft : limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

bool Given(const char* arg) { return strcmp(arg, kNone) != 0; }

}  // namespace

int main(int argc, char** argv) {
    if (argc <= kShellArgv) _exit(kNotRun);
    if (Given(argv[kCloseArg])) CloseFrom(static_cast<unsigned>(strtoul(argv[kCloseArg], nullptr, 10)));
    if (Given(argv[kLimitArg])) SetFdLimit(strtoull(argv[kLimitArg], nullptr, 10));
    if (strcmp(argv[kHoldArg], kHold) == 0) {
        char go = 0;
        ssize_t got;
        do {
            got = read(kGateFd, &go, 1);
        } while (got < 0 && errno == EINTR);
        // Anything but the go, also the end of whoever held the gate: nothing runs.
        if (got != 1 || go != kGo) _exit(0);
        close(kGateFd);
    }
    execve(kShell, argv + kShellArgv, environ);
    _exit(kNotRun);
}
