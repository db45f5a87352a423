// Checked socket calls.
#include <arpa/inet.h>
#include <time.h>
#include <unistd.h>

#include "zu_net_internal.h"
#include "zu_syserr.h"
#include "zulib/zu_net.h"

namespace {

// Family, port and IPv4 address as stored, as the failure lines show an address.
struct ShownAddr {
    int family = 0;
    int port = 0;
    unsigned addr = 0;
};

ShownAddr shown(const struct sockaddr* a, socklen_t len) {
    ShownAddr s;
    if (!a) return s;
    s.family = a->sa_family;
    if (a->sa_family == AF_INET && len >= sizeof(sockaddr_in)) {
        const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(a);
        s.port = in->sin_port;
        s.addr = in->sin_addr.s_addr;
    }
    return s;
}

}  // namespace

int64_t zu_net_now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void zu_net_connect_warn(int fd, const struct sockaddr* addr, socklen_t len) {
    ShownAddr s = shown(addr, len);
    ZU_SYSWARN("connect(%d,<%d,%d,%u>,%d) call failed.error[%d] info is %s.", fd, s.family, s.port, s.addr,
               static_cast<int>(len));
}

int zu_socket(int domain, int type, int protocol) {
    int fd = socket(domain, type, protocol);
    if (fd == -1) ZU_SYSWARN("socket(%d,%d,%d) call failed.error[%d] info is %s.", domain, type, protocol);
    return fd;
}

int zu_connect(int fd, const struct sockaddr* addr, socklen_t len) {
    int ret = connect(fd, addr, len);
    if (ret == -1) zu_net_connect_warn(fd, addr, len);
    return ret;
}

int zu_bind(int fd, const struct sockaddr* addr, socklen_t len) {
    int ret = bind(fd, addr, len);
    if (ret == -1) {
        ShownAddr s = shown(addr, len);
        ZU_SYSWARN("bind(%d,<%d,%d,%u>,%d) call failed.error[%d] info is %s.", fd, s.family, s.port, s.addr,
                   static_cast<int>(len));
    }
    return ret;
}

int zu_listen(int fd, int backlog) {
    int ret = listen(fd, backlog);
    if (ret == -1) ZU_SYSWARN("listen(%d,%d) call failed.error[%d] info is %s.", fd, backlog);
    return ret;
}

int zu_getsockname(int fd, struct sockaddr* addr, socklen_t* len) {
    int ret = getsockname(fd, addr, len);
    if (ret == -1) ZU_SYSWARN("getsockname(%d) call failed.error[%d] info is %s.", fd);
    return ret;
}

int zu_getpeername(int fd, struct sockaddr* addr, socklen_t* len) {
    int ret = getpeername(fd, addr, len);
    if (ret == -1) ZU_SYSWARN("getpeername(%d) call failed.error[%d] info is %s.\n", fd);
    return ret;
}

int zu_setsockopt(int fd, int level, int name, const void* value, socklen_t len) {
    int ret = setsockopt(fd, level, name, value, len);
    if (ret == -1) ZU_SYSWARN("setsockopt(%d,%d,%d) call failed.error[%d] info is %s.", fd, level, name);
    return ret;
}

int zu_getsockopt(int fd, int level, int name, void* value, socklen_t* len) {
    int ret = getsockopt(fd, level, name, value, len);
    if (ret == -1) ZU_SYSWARN("getsockopt(%d,%d,%d) call failed.error[%d] info is %s.", fd, level, name);
    return ret;
}

int zu_recv(int fd, void* buf, size_t len, int flags) {
    ssize_t n = recv(fd, buf, len, flags);
    if (n == -1) ZU_SYSWARN("recv(%d,%ld,%d) call failed.error[%d] info is %s.", fd, static_cast<long>(len), flags);
    return static_cast<int>(n);
}

int zu_send(int fd, const void* buf, size_t len, int flags) {
    ssize_t n = send(fd, buf, len, flags);
    if (n == -1) ZU_SYSWARN("send(%d,%ld,%d) call failed.error[%d] info is %s.", fd, static_cast<long>(len), flags);
    return static_cast<int>(n);
}

int zu_shutdown(int fd, int how) {
    int ret = shutdown(fd, how);
    if (ret == -1) ZU_SYSWARN("shutdown(%d,%d) call failed.error[%d] info is %s.", fd, how);
    return ret;
}

int zu_gethostname(char* name, size_t len) {
    int ret = gethostname(name, len);
    if (ret == -1) ZU_SYSWARN("gethostname(%ld) call failed.error[%d] info is %s.", static_cast<long>(len));
    return ret;
}

int zu_getservbyname_r(const char* name, const char* proto, struct servent* entry, char* buf, size_t buflen,
                       struct servent** result) {
    int ret = getservbyname_r(name, proto, entry, buf, buflen, result);
    if (ret != 0) {
        errno = ret;
        ZU_SYSWARN("getservbyname_r(%s,%s) call failed.error[%d] info is %s.", name, proto ? proto : "");
    }
    return ret;
}

int zu_getservbyport_r(int port, const char* proto, struct servent* entry, char* buf, size_t buflen,
                       struct servent** result) {
    int ret = getservbyport_r(port, proto, entry, buf, buflen, result);
    if (ret != 0) {
        errno = ret;
        ZU_SYSWARN("getservbyport_r(%d,%s) call failed.error[%d] info is %s.", port, proto ? proto : "");
    }
    return ret;
}

int zu_gethostbyname_r(const char* name, struct hostent* entry, char* buf, size_t buflen, struct hostent** result,
                       int* h_errnop) {
    int herr = 0;
    int ret = -1;
    *result = nullptr;
    if (name) ret = gethostbyname_r(name, entry, buf, buflen, result, &herr);
    // The resolver's error means something only when the call failed: glibc leaves it
    // set on success.
    if (ret == 0 && *result) {
        if (h_errnop) *h_errnop = 0;
        return 0;
    }
    if (h_errnop) *h_errnop = herr;
    zu_writelog(ZU_LOG_WARNING, "gethostbyname_r(%s) call failed.return value is %d,error[%d] info is %s",
                name ? name : "", ret, herr, hstrerror(herr));
    return -1;
}

int zu_sclose(int fd) { return close(fd); }
