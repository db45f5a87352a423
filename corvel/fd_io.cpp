// Descriptor helpers: close, reads and writes with time-outs, flags, bitmaps.
#include "corvel/fd_io.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "corvel/clock.h"
#include "io_wait.h"

namespace corvel {

NonBlockingScope::NonBlockingScope(int fd) : fd_(fd), flags_(fcntl(fd, F_GETFL)) {
    if (flags_ >= 0 && !(flags_ & O_NONBLOCK) && fcntl(fd, F_SETFL, flags_ | O_NONBLOCK) < 0) {
        flags_ = -1;
    }
}

NonBlockingScope::~NonBlockingScope() {
    if (flags_ < 0 || (flags_ & O_NONBLOCK)) return;
    int saved = errno;
    fcntl(fd_, F_SETFL, flags_);
    errno = saved;
}

int wait_ready(int fd, short events, uint64_t start_ns, int timeout_ms) {
    for (;;) {
        struct pollfd entry = {fd, events, 0};
        int rc = poll(&entry, 1, timeout_ms < 0 ? -1 : remaining_ms(start_ns, timeout_ms));
        if (rc > 0) return 0;
        if (rc == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        if (errno != EINTR) return -1;
    }
}

// Retrying on EINTR could close a descriptor that another thread has just been
// given the same number: Linux releases the descriptor even when close is
// interrupted.
int close_fd(int fd) {
    if (fd < 0) {
        errno = EINVAL;
        return -1;
    }
    if (close(fd) == 0 || errno == EINTR) return 0;
    return -1;
}

ssize_t read_fd(int fd, void* buf, size_t len) {
    if (fd < 0 || !buf) {
        errno = EINVAL;
        return -1;
    }
    ssize_t n;
    do {
        n = read(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t write_fd(int fd, const void* buf, size_t len) {
    if (fd < 0 || !buf) {
        errno = EINVAL;
        return -1;
    }
    ssize_t n;
    do {
        n = write(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    return n;
}

namespace {

// One read or write of up to len bytes, interruptions retried.
ssize_t transfer_once(bool reading, int fd, char* buf, size_t len) {
    return reading ? read_fd(fd, buf, len) : write_fd(fd, buf, len);
}

// Bytes moved; on a failure after some bytes moved, their count with errno set.
ssize_t transfer(bool reading, int fd, char* buf, size_t len, int timeout_ms, bool whole) {
    if (fd < 0 || !buf) {
        errno = EINVAL;
        return -1;
    }
    size_t moved = 0;
    if (timeout_ms < 0) {
        // A whole transfer must go on after a short one also without time-out.
        do {
            ssize_t n = transfer_once(reading, fd, buf + moved, len - moved);
            if (n < 0) return moved > 0 ? static_cast<ssize_t>(moved) : -1;
            if (n == 0) break;
            moved += static_cast<size_t>(n);
        } while (whole && moved < len);
        return static_cast<ssize_t>(moved);
    }
    NonBlockingScope scope(fd);
    if (!scope.ok()) return -1;
    uint64_t start = monotonic_ns();
    for (;;) {
        if (wait_ready(fd, reading ? POLLIN : POLLOUT, start, timeout_ms) != 0) break;
        ssize_t n = transfer_once(reading, fd, buf + moved, len - moved);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) continue;
            break;
        }
        moved += static_cast<size_t>(n);
        if (n == 0 || !whole || moved == len) return static_cast<ssize_t>(moved);
    }
    return moved > 0 ? static_cast<ssize_t>(moved) : -1;
}

}  // namespace

ssize_t read_timeout(int fd, void* buf, size_t len, int timeout_ms, bool whole) {
    return transfer(true, fd, static_cast<char*>(buf), len, timeout_ms, whole);
}

ssize_t write_timeout(int fd, const void* buf, size_t len, int timeout_ms, bool whole) {
    return transfer(false, fd, static_cast<char*>(const_cast<void*>(buf)), len, timeout_ms, whole);
}

ssize_t read_some(int fd, void* buf, size_t len, int timeout_ms) {
    return read_timeout(fd, buf, len, timeout_ms, false);
}

ssize_t read_all(int fd, void* buf, size_t len, int timeout_ms) {
    return read_timeout(fd, buf, len, timeout_ms, true);
}

ssize_t write_some(int fd, const void* buf, size_t len, int timeout_ms) {
    return write_timeout(fd, buf, len, timeout_ms, false);
}

ssize_t write_all(int fd, const void* buf, size_t len, int timeout_ms) {
    return write_timeout(fd, buf, len, timeout_ms, true);
}

namespace {

int change_status_flag(int fd, int flag, bool on) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return -1;
    int wanted = on ? (flags | flag) : (flags & ~flag);
    if (wanted == flags) return 0;
    return fcntl(fd, F_SETFL, wanted) < 0 ? -1 : 0;
}

}  // namespace

int set_nonblocking(int fd) { return change_status_flag(fd, O_NONBLOCK, true); }

int clear_nonblocking(int fd) { return change_status_flag(fd, O_NONBLOCK, false); }

int set_cloexec(int fd) {
    int flags = fcntl(fd, F_GETFD);
    if (flags < 0) return -1;
    if (flags & FD_CLOEXEC) return 0;
    return fcntl(fd, F_SETFD, flags | FD_CLOEXEC) < 0 ? -1 : 0;
}

int fd_bitmap_add(int max_fd, int fd, uint64_t* bitmap) {
    if (!bitmap || fd < 0 || fd >= kFdBitmapWords * 64) return max_fd;
    bitmap[fd / 64] |= 1ULL << (fd % 64);
    return fd > max_fd ? fd : max_fd;
}

}  // namespace corvel
