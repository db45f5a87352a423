// Helpers shared by the descriptor and socket utilities.
#pragma once

#include <stdint.h>

namespace corvel {

// Makes a descriptor non-blocking for its scope and restores its flags after,
// keeping errno.
class NonBlockingScope {
public:
    explicit NonBlockingScope(int fd);
    ~NonBlockingScope();
    NonBlockingScope(const NonBlockingScope&) = delete;
    NonBlockingScope& operator=(const NonBlockingScope&) = delete;
    // False when the flags could not be read or set (errno tells why).
    bool ok() const { return flags_ >= 0; }

private:
    int fd_;
    int flags_;
};

// Waits with poll for events on fd within what is left of timeout_ms since start_ns
// (below 0: no limit), retrying interruptions. 0 when ready, -1 with errno
// (ETIMEDOUT when the time ran out).
int wait_ready(int fd, short events, uint64_t start_ns, int timeout_ms);

}  // namespace corvel
