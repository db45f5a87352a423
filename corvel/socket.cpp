// Socket helpers: listen, accept and connect with time-outs.
#include "corvel/socket.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include "corvel/clock.h"
#include "io_wait.h"

namespace corvel {

int listen_fd(int fd, int backlog) { return listen(fd, backlog); }

int accept_fd(int fd, struct sockaddr* addr, socklen_t* addr_len) {
    if (fd < 0) {
        errno = EINVAL;
        return -1;
    }
    int client;
    do {
        client = accept(fd, addr, addr_len);
    } while (client < 0 && errno == EINTR);
    return client;
}

int accept_timeout(int fd, struct sockaddr* addr, socklen_t* addr_len, int timeout_ms) {
    if (timeout_ms < 0) return accept_fd(fd, addr, addr_len);
    if (fd < 0) {
        errno = EINVAL;
        return -1;
    }
    NonBlockingScope scope(fd);
    if (!scope.ok()) return -1;
    uint64_t start = monotonic_ns();
    for (;;) {
        if (wait_ready(fd, POLLIN, start, timeout_ms) != 0) return -1;
        int client = accept(fd, addr, addr_len);
        if (client >= 0) return client;
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    }
}

int socket_error(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return -1;
    if (err == 0) return 0;
    errno = err;
    return -1;
}

int wait_connected(int fd, int timeout_ms) {
    if (wait_ready(fd, POLLOUT, monotonic_ns(), timeout_ms) != 0) return -1;
    return socket_error(fd);
}

int connect_timeout(int fd, const struct sockaddr* addr, socklen_t addr_len, int timeout_ms) {
    if (fd < 0 || !addr) {
        errno = EINVAL;
        return -1;
    }
    if (timeout_ms < 0) {
        if (connect(fd, addr, addr_len) == 0) return 0;
        // An interrupted connect goes on in the background; calling connect again
        // would report EALREADY for a connection that may well succeed.
        return errno == EINTR ? wait_connected(fd, -1) : -1;
    }
    NonBlockingScope scope(fd);
    if (!scope.ok()) return -1;
    if (connect(fd, addr, addr_len) == 0) return 0;
    if (errno != EINPROGRESS && errno != EINTR) return -1;
    return wait_connected(fd, timeout_ms);
}

int set_reuseaddr(int fd) {
    int on = 1;
    return setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

}  // namespace corvel
