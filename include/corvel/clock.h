// Clocks and sleeping, plain helpers of the base library: no state, safe from any
// thread, silent.
#pragma once

#include <stdint.h>

namespace corvel {

uint64_t realtime_ns();
// Falls back to realtime_ns when the monotonic clock fails.
uint64_t monotonic_ns();
int64_t monotonic_s();
// The time-out minus the whole milliseconds elapsed since start_ns (monotonic);
// 0 once used up or when the clock fails.
int remaining_ms(uint64_t start_ns, int timeout_ms);
// Below 1 ms only yields the processor. Interruptible: returns the milliseconds
// left when a signal cuts the sleep short; otherwise sleeps the full time.
int sleep_ms_ex(int32_t ms, bool interruptible);
// Sleeps the full time on the monotonic clock, however many signals arrive.
int sleep_ms(int32_t ms);

}  // namespace corvel
