// Transfers bounded by the socket's own time-out: one attempt that does not wait, then
// blocking passes with SO_RCVTIMEO or SO_SNDTIMEO set to the time left.
#include <fcntl.h>
#include <limits.h>

#include <vector>

#include "zu_net_internal.h"
#include "zu_syserr.h"
#include "zulib/zu_net.h"

namespace {

constexpr int MAX_VECTOR = 1023;

// The socket's time-out and flags as found, put back on destruction; ok() is false when
// they could not be read or the socket not made blocking.
class SavedSocket {
public:
    SavedSocket(int fd, int option) : fd_(fd), option_(option) {
        socklen_t len = sizeof(timeout_);
        if (zu_getsockopt(fd, SOL_SOCKET, option, &timeout_, &len) != 0) return;
        flags_ = zu_getfl(fd);
        if (flags_ < 0) return;
        ok_ = !(flags_ & O_NONBLOCK) || zu_setblock(fd) == 0;
    }
    ~SavedSocket() {
        if (flags_ < 0) return;
        int err = errno;
        if (flags_ & O_NONBLOCK) fcntl(fd_, F_SETFL, flags_);
        setsockopt(fd_, SOL_SOCKET, option_, &timeout_, sizeof(timeout_));
        errno = err;
    }
    bool ok() const { return ok_; }

private:
    int fd_;
    int option_;
    struct timeval timeout_ = {0, 0};
    int flags_ = -1;
    bool ok_ = false;
};

ssize_t transfer(int fd, msghdr* msg, bool receive, int flags) {
    return receive ? recvmsg(fd, msg, flags) : sendmsg(fd, msg, flags | MSG_NOSIGNAL);
}

// Drops the first n bytes from the vector.
void advance(std::vector<iovec>& v, size_t& first, size_t n) {
    while (n > 0 && first < v.size()) {
        if (n >= v[first].iov_len) {
            n -= v[first].iov_len;
            ++first;
        } else {
            v[first].iov_base = static_cast<char*>(v[first].iov_base) + n;
            v[first].iov_len -= n;
            n = 0;
        }
    }
}

ssize_t timed_transfer(int fd, const struct iovec* iov, int count, int ms, bool receive) {
    size_t total = 0;
    for (int i = 0; i < count; ++i) total += iov[i].iov_len;
    std::vector<iovec> rest(iov, iov + count);
    msghdr msg = {};
    msg.msg_iov = rest.data();
    msg.msg_iovlen = rest.size();
    ssize_t n = transfer(fd, &msg, receive, MSG_DONTWAIT);
    if (n >= 0 && static_cast<size_t>(n) == total) return n;
    if (n < 0 && errno != EAGAIN && errno != EINTR) return -1;
    size_t done = n > 0 ? static_cast<size_t>(n) : 0;
    if (ms == 0) {
        errno = ETIMEDOUT;
        return -1;
    }
    int64_t left = ms < 0 ? INT_MAX : ms;
    size_t first = 0;
    advance(rest, first, done);
    SavedSocket saved(fd, receive ? SO_RCVTIMEO : SO_SNDTIMEO);
    if (!saved.ok()) return -1;
    while (done < total) {
        struct timeval tv;
        zu_ms_to_tv(static_cast<int>(left), &tv);
        if (zu_setsockopt(fd, SOL_SOCKET, receive ? SO_RCVTIMEO : SO_SNDTIMEO, &tv, sizeof(tv)) != 0) return -1;
        msg.msg_iov = rest.data() + first;
        msg.msg_iovlen = rest.size() - first;
        int64_t start = zu_net_now_ms();
        n = transfer(fd, &msg, receive, receive ? MSG_WAITALL : 0);
        if (n == 0) break;
        if (n < 0 && errno != EINTR) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) errno = ETIMEDOUT;
            return -1;
        }
        if (n > 0) {
            done += static_cast<size_t>(n);
            if (done == total) break;
            advance(rest, first, static_cast<size_t>(n));
        }
        // An interrupted call is not restarted with the time left: the next pass sets it.
        left -= zu_net_now_ms() - start;
        if (left <= 0) {
            errno = ETIMEDOUT;
            return -1;
        }
    }
    return static_cast<ssize_t>(done);
}

ssize_t timed_vector(int fd, const struct iovec* iov, int count, int ms, bool receive) {
    if (!iov || count < 1 || count > MAX_VECTOR) {
        errno = EINVAL;
        return -1;
    }
    return timed_transfer(fd, iov, count, ms, receive);
}

}  // namespace

ssize_t zu_srecvo_ms(int fd, void* buf, size_t len, int ms) {
    struct iovec one = {buf, len};
    return timed_transfer(fd, &one, 1, ms, true);
}

ssize_t zu_ssendo_ms(int fd, const void* buf, size_t len, int ms) {
    struct iovec one = {const_cast<void*>(buf), len};
    return timed_transfer(fd, &one, 1, ms, false);
}

ssize_t zu_sreadvo_ms(int fd, const struct iovec* iov, int count, int ms) {
    return timed_vector(fd, iov, count, ms, true);
}

ssize_t zu_swritevo_ms(int fd, const struct iovec* iov, int count, int ms) {
    return timed_vector(fd, iov, count, ms, false);
}
