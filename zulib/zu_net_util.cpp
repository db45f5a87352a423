// Time and address helpers, descriptor flags, socket options and readiness waits.
#include <arpa/inet.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>

#include "zu_net_internal.h"
#include "zu_syserr.h"
#include "zulib/zu_net.h"

namespace {

int sockopt(int fd, int name, void* value, socklen_t len, int op) {
    if (fd <= 0 || !value) return -1;
    if (op == 0) return zu_setsockopt(fd, SOL_SOCKET, name, value, len);
    if (op == 1) return zu_getsockopt(fd, SOL_SOCKET, name, value, &len);
    return -1;
}

// Sets or clears O_NONBLOCK when it is not so already.
int set_nonblock(int fd, bool on) {
    int flags = zu_getfl(fd);
    if (flags < 0) return -1;
    int want = on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
    if (want == flags) return 0;
    int ret;
    do ret = fcntl(fd, F_SETFL, want);
    while (ret == -1 && errno == EINTR);
    if (ret == -1) ZU_SYSWARN("fcntl(%d,F_SETFL,%d) call failed.error[%d] info is %s.", fd, want);
    return ret;
}

int wait_ms(int fd, short events, int ms) {
    struct pollfd p = {fd, events, 0};
    return zu_poll(&p, 1, ms);
}

int wait_tv(int fd, short events, struct timeval* remaining) {
    struct pollfd p = {fd, events, 0};
    return zu_net_poll_tv(&p, remaining);
}

}  // namespace

int zu_net_poll_tv(struct pollfd* p, struct timeval* remaining) {
    if (!remaining) return zu_poll(p, 1, -1);
    int ms = zu_tv_to_ms(remaining);
    int64_t start = zu_net_now_ms();
    int ret = zu_poll(p, 1, ms);
    int64_t left = ms - (zu_net_now_ms() - start);
    zu_ms_to_tv(left > 0 ? static_cast<int>(left) : 0, remaining);
    return ret;
}

void zu_ms_to_tv(int ms, struct timeval* tv) {
    tv->tv_sec = ms / 1000;
    tv->tv_usec = (ms % 1000) * 1000;
}

int zu_tv_to_ms(const struct timeval* tv) {
    if (!tv) return -1;
    return static_cast<int>(tv->tv_sec * 1000 + tv->tv_usec / 1000);
}

int zu_byteorder() {
    const uint16_t probe = 1;
    unsigned char first;
    memcpy(&first, &probe, 1);
    return first ? 1234 : 4321;
}

int zu_setsockaddr(struct sockaddr_in* addr, const char* ip, int port) {
    memset(addr, 0, sizeof(*addr));
    addr->sin_family = AF_INET;
    addr->sin_port = htons(static_cast<uint16_t>(port));
    if (!ip) {
        addr->sin_addr.s_addr = htonl(INADDR_ANY);
        return 0;
    }
    addr->sin_addr.s_addr = inet_addr(ip);
    return addr->sin_addr.s_addr == INADDR_NONE ? -1 : 0;
}

int zu_issocket(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    return S_ISSOCK(st.st_mode) ? 1 : 0;
}

int zu_getfl(int fd) {
    int flags;
    do flags = fcntl(fd, F_GETFL);
    while (flags == -1 && errno == EINTR);
    if (flags == -1) ZU_SYSWARN("fcntl(%d,F_GETFL) call failed.error[%d] info is %s.", fd);
    return flags;
}

int zu_setnonblock(int fd) { return set_nonblock(fd, true); }

int zu_setblock(int fd) { return set_nonblock(fd, false); }

int zu_sockopt_rcvbuf(int fd, void* value, int op) { return sockopt(fd, SO_RCVBUF, value, sizeof(int), op); }

int zu_sockopt_sndbuf(int fd, void* value, int op) { return sockopt(fd, SO_SNDBUF, value, sizeof(int), op); }

int zu_sockopt_reuseaddr(int fd, void* value, int op) { return sockopt(fd, SO_REUSEADDR, value, sizeof(int), op); }

int zu_sockopt_keepalive(int fd, void* value, int op) { return sockopt(fd, SO_KEEPALIVE, value, sizeof(int), op); }

int zu_sockopt_rcvtimeo(int fd, void* value, int op) {
    return sockopt(fd, SO_RCVTIMEO, value, sizeof(struct timeval), op);
}

int zu_sockopt_sndtimeo(int fd, void* value, int op) {
    return sockopt(fd, SO_SNDTIMEO, value, sizeof(struct timeval), op);
}

int zu_select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, struct timeval* timeout) {
    int ret;
    do ret = select(nfds, readfds, writefds, exceptfds, timeout);
    while (ret == -1 && errno == EINTR);
    if (ret == 0) errno = ETIMEDOUT;
    if (ret == -1) ZU_SYSWARN("select() call error.error[%d] info is %s");
    return ret;
}

int zu_poll(struct pollfd* fds, nfds_t n, int timeout_ms) {
    int64_t start = zu_net_now_ms();
    int left = timeout_ms;
    for (;;) {
        int ret = poll(fds, n, left);
        if (ret == 0) errno = ETIMEDOUT;
        if (ret >= 0) return ret;
        if (errno != EINTR) {
            ZU_SYSWARN("poll() call error.error[%d] info is %s");
            return -1;
        }
        if (timeout_ms < 0) continue;
        left = static_cast<int>(timeout_ms - (zu_net_now_ms() - start));
        if (left < 1) {
            errno = ETIMEDOUT;
            return 0;
        }
    }
}

int zu_sreadable_ms(int fd, int ms) { return wait_ms(fd, POLLIN, ms); }

int zu_swriteable_ms(int fd, int ms) { return wait_ms(fd, POLLOUT, ms); }

int zu_sreadable_tv(int fd, struct timeval* remaining) { return wait_tv(fd, POLLIN, remaining); }

int zu_swriteable_tv(int fd, struct timeval* remaining) { return wait_tv(fd, POLLOUT, remaining); }

int zu_speek(int fd) {
    char scratch[65535];
    ssize_t n;
    do n = recv(fd, scratch, sizeof(scratch), MSG_PEEK | MSG_DONTWAIT);
    while (n == -1 && errno == EINTR);
    return static_cast<int>(n);
}
