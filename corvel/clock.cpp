#include "corvel/clock.h"

#include <errno.h>
#include <sched.h>
#include <sys/select.h>
#include <sys/time.h>
#include <time.h>

namespace corvel {

namespace {
constexpr uint64_t kNsPerSec = 1000000000ULL;
constexpr uint64_t kNsPerMs = 1000000ULL;
}  // namespace

uint64_t realtime_ns() {
    struct timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) == 0) {
        return static_cast<uint64_t>(ts.tv_sec) * kNsPerSec + static_cast<uint64_t>(ts.tv_nsec);
    }
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) == 0) {
        return static_cast<uint64_t>(tv.tv_sec) * kNsPerSec + static_cast<uint64_t>(tv.tv_usec) * 1000;
    }
    time_t now = time(nullptr);
    if (now == static_cast<time_t>(-1)) return UINT64_MAX;
    return static_cast<uint64_t>(now) * kNsPerSec;
}

uint64_t monotonic_ns() {
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return realtime_ns();
    return static_cast<uint64_t>(ts.tv_sec) * kNsPerSec + static_cast<uint64_t>(ts.tv_nsec);
}

int64_t monotonic_s() {
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return time(nullptr);
    return ts.tv_sec;
}

int remaining_ms(uint64_t start_ns, int timeout_ms) {
    uint64_t now = monotonic_ns();
    if (timeout_ms <= 0 || now == UINT64_MAX || now < start_ns) return 0;
    uint64_t elapsed = (now - start_ns) / kNsPerMs;
    if (elapsed >= static_cast<uint64_t>(timeout_ms)) return 0;
    return timeout_ms - static_cast<int>(elapsed);
}

int sleep_ms_ex(int32_t ms, bool interruptible) {
    if (ms < 1) return sched_yield() == 0 ? 0 : -1;
    uint64_t left = static_cast<uint64_t>(ms) * kNsPerMs;
    uint64_t deadline = monotonic_ns() + left;
    for (;;) {
        struct timespec wait;
        wait.tv_sec = static_cast<time_t>(left / kNsPerSec);
        wait.tv_nsec = static_cast<long>(left % kNsPerSec);
        int rc = pselect(0, nullptr, nullptr, nullptr, &wait, nullptr);
        if (rc == 0) return 0;
        if (errno != EINTR) return -1;
        uint64_t now = monotonic_ns();
        if (now >= deadline) return 0;
        left = deadline - now;
        if (interruptible) return static_cast<int>(left / kNsPerMs);
    }
}

int sleep_ms(int32_t ms) { return sleep_ms_ex(ms, false); }

}  // namespace corvel
