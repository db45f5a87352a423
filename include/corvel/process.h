// Process-wide settings (interval timer, descriptor limit, random seed) and a
// strict number parser. Failures are -1 with errno set.
#pragma once

namespace corvel {

// A decimal number from 0 to 2147483647 with nothing after it, else -1.
int parse_uint(const char* text);
// ITIMER_REAL with value and interval ms; below 0 disarms it.
int set_interval_timer(int ms);
// Sets the soft limit of open descriptors to count, raising the hard limit when
// needed and allowed; returns the soft limit in force.
int set_fd_limit(int count);
// Seeds rand() from /dev/urandom, else from the pid and the clock.
void seed_random();

}  // namespace corvel
