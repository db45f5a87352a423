// Process-wide helpers: number parsing, interval timer, descriptor limit, seeding.
#include "corvel/process.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include "corvel/clock.h"
#include "corvel/fd_io.h"

namespace corvel {

int parse_uint(const char* text) {
    if (!text || !*text) return -1;
    long long value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return -1;
        value = value * 10 + (*p - '0');
        if (value > INT_MAX) return -1;
    }
    return static_cast<int>(value);
}

int set_interval_timer(int ms) {
    if (ms < 0) ms = 0;
    struct itimerval timer;
    timer.it_value.tv_sec = ms / 1000;
    timer.it_value.tv_usec = (ms % 1000) * 1000;
    timer.it_interval = timer.it_value;
    return setitimer(ITIMER_REAL, &timer, nullptr);
}

int set_fd_limit(int count) {
    if (count < 0) {
        errno = EINVAL;
        return -1;
    }
    struct rlimit old;
    if (getrlimit(RLIMIT_NOFILE, &old) != 0) return -1;
    struct rlimit wanted = old;
    wanted.rlim_cur = static_cast<rlim_t>(count);
    if (old.rlim_max != RLIM_INFINITY && old.rlim_max < wanted.rlim_cur) {
        wanted.rlim_max = wanted.rlim_cur;
    }
    if (setrlimit(RLIMIT_NOFILE, &wanted) != 0) {
        wanted.rlim_cur = wanted.rlim_max = old.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &wanted) != 0) return -1;
    }
    struct rlimit now;
    if (getrlimit(RLIMIT_NOFILE, &now) != 0) return -1;
    return now.rlim_cur > static_cast<rlim_t>(INT_MAX) ? INT_MAX : static_cast<int>(now.rlim_cur);
}

void seed_random() {
    unsigned seed = 0;
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    bool seeded = fd >= 0 && read_all(fd, &seed, sizeof seed, -1) == static_cast<ssize_t>(sizeof seed);
    if (fd >= 0) close_fd(fd);
    if (!seeded) {
        uint64_t now = realtime_ns();
        seed = static_cast<unsigned>(getpid());
        if (now != UINT64_MAX) seed ^= static_cast<unsigned>(now);
    }
    srand(seed);
}

}  // namespace corvel
