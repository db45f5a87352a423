// Listening, connecting with a time limit, and accepting with the grant check.
#include <arpa/inet.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "zu_net_internal.h"
#include "zu_syserr.h"
#include "zulib/zu_net.h"

namespace {

constexpr size_t UNIX_PATH_MAX_CHARS = 100;

// Sockets made here are not handed to the programs the process starts.
constexpr int STREAM = SOCK_STREAM | SOCK_CLOEXEC;

// The Unix address of path; -1 with EINVAL (empty) or ENAMETOOLONG, as a cut path
// would name another file.
int unix_address(const char* path, sockaddr_un* addr) {
    if (!path || !path[0]) {
        errno = EINVAL;
        return -1;
    }
    size_t len = strlen(path);
    if (len > UNIX_PATH_MAX_CHARS) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memset(addr, 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    memcpy(addr->sun_path, path, len);
    return 0;
}

// Ends a failed listen or connect with errno err: the descriptor closed, or back to its
// flags (when they were read) when it is kept.
int give_up(int fd, int flags, int close_on_failure, int err) {
    if (close_on_failure)
        zu_sclose(fd);
    else if (flags >= 0)
        fcntl(fd, F_SETFL, flags);
    errno = err;
    return -1;
}

// Binds fd to addr and listens; closes fd and returns -1 on failure.
int bind_listen(int fd, const sockaddr* addr, socklen_t len, int backlog) {
    if (zu_bind(fd, addr, len) == 0 && zu_listen(fd, backlog < 1 ? 5 : backlog) == 0) return fd;
    return give_up(fd, -1, 1, errno);
}

// Connects a new socket of the address's family; -1 (socket closed) on failure.
int connect_new(const sockaddr* addr, socklen_t len) {
    int fd = zu_socket(addr->sa_family, STREAM, 0);
    if (fd < 0) return -1;
    if (zu_connect(fd, addr, len) == 0) return fd;
    return give_up(fd, -1, 1, errno);
}

}  // namespace

int zu_tcplisten(int port, int backlog) {
    int fd = zu_socket(AF_INET, STREAM, 0);
    if (fd < 0) return -1;
    int on = 1;
    zu_sockopt_reuseaddr(fd, &on, 0);
    sockaddr_in addr;
    zu_setsockaddr(&addr, nullptr, port);
    return bind_listen(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr), backlog);
}

int zu_unixlisten(const char* path, int backlog) {
    sockaddr_un addr;
    if (unix_address(path, &addr) != 0) return -1;
    // A socket left by an earlier server is stale; any other file is not ours to remove.
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISSOCK(st.st_mode)) unlink(path);
    int fd = zu_socket(AF_UNIX, STREAM, 0);
    if (fd < 0) return -1;
    return bind_listen(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr), backlog);
}

int zu_unixconnect(const char* path) {
    sockaddr_un addr;
    if (unix_address(path, &addr) != 0) return -1;
    return connect_new(reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
}

int zu_tcpconnect(const struct sockaddr_in* addr) {
    if (!addr) {
        errno = EINVAL;
        return -1;
    }
    return connect_new(reinterpret_cast<const sockaddr*>(addr), sizeof(*addr));
}

int zu_connecto_tv(int fd, const struct sockaddr* addr, socklen_t len, struct timeval* remaining,
                   int close_on_failure) {
    if (fd < 1) {
        errno = EBADF;
        return -1;
    }
    if (!addr) return give_up(fd, -1, close_on_failure, EINVAL);
    int flags = zu_getfl(fd);
    if (flags < 0 || zu_setnonblock(fd) != 0) return give_up(fd, flags, close_on_failure, errno);
    if (connect(fd, addr, len) == 0) {
        fcntl(fd, F_SETFL, flags);
        return 0;
    }
    if (errno != EINPROGRESS && errno != EINTR) {
        zu_net_connect_warn(fd, addr, len);
        return give_up(fd, flags, close_on_failure, errno);
    }
    struct pollfd p = {fd, POLLIN | POLLOUT, 0};
    int ret = zu_net_poll_tv(&p, remaining);
    if (ret == 0) return give_up(fd, flags, close_on_failure, ETIMEDOUT);
    if (ret < 0 || !(p.revents & (POLLIN | POLLOUT))) return give_up(fd, flags, close_on_failure, errno);
    int so_error = 0;
    socklen_t so_len = sizeof(so_error);
    if (zu_getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &so_len) != 0)
        return give_up(fd, flags, close_on_failure, errno);
    if (so_error != 0) return give_up(fd, flags, close_on_failure, so_error);
    fcntl(fd, F_SETFL, flags);
    return 0;
}

int zu_connecto_ms(int fd, const struct sockaddr* addr, socklen_t len, int ms) {
    struct timeval tv;
    zu_ms_to_tv(ms, &tv);
    return zu_connecto_tv(fd, addr, len, ms < 1 ? nullptr : &tv, 1);
}

int zu_connecto_ms_noclose(int fd, const struct sockaddr* addr, socklen_t len, int ms) {
    struct timeval tv;
    zu_ms_to_tv(ms, &tv);
    return zu_connecto_tv(fd, addr, len, ms < 1 ? nullptr : &tv, 0);
}

int zu_tcpconnecto_ms(const char* host, int port, int ms) {
    if (!host) {
        errno = EINVAL;
        return -1;
    }
    int fd = zu_socket(AF_INET, STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in addr;
    if (zu_setsockaddr(&addr, host, port) != 0) {
        struct hostent entry;
        struct hostent* found = nullptr;
        char buf[8192];
        int herr = 0;
        if (zu_gethostbyname_r(host, &entry, buf, sizeof(buf), &found, &herr) != 0 || found->h_addrtype != AF_INET ||
            !found->h_addr_list[0]) {
            zu_sclose(fd);
            errno = EHOSTUNREACH;
            return -1;
        }
        memcpy(&addr.sin_addr, found->h_addr_list[0], sizeof(addr.sin_addr));
    }
    if (zu_connecto_ms(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr), ms) != 0) return -1;
    return fd;
}

int zu_accept(int fd, struct sockaddr* addr, socklen_t* len) {
    int conn;
    do conn = accept4(fd, addr, len, SOCK_CLOEXEC);
    while (conn == -1 && (errno == EPROTO || errno == ECONNABORTED));
    if (conn == -1) {
        ZU_SYSWARN("accept(%d) call failed.error[%d] info is %s.", fd);
        return -1;
    }
    if (!zu_ipaccess_grant[0]) return conn;
    sockaddr_storage peer, local;
    socklen_t peer_len = sizeof(peer), local_len = sizeof(local);
    memset(&local, 0, sizeof(local));
    if (zu_getpeername(conn, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0) {
        zu_sclose(conn);
        return -1;
    }
    zu_getsockname(conn, reinterpret_cast<sockaddr*>(&local), &local_len);
    char ip[INET_ADDRSTRLEN] = "";
    if (peer.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&peer)->sin_addr, ip, sizeof(ip));
    if (ip[0] && zu_ipaccess_check(ip, zu_ipaccess_grant) == 1) return conn;
    zu_sclose(conn);
    zu_writelog(ZU_LOG_WARNING, "When server listened on port %d a client from ip %s try to connect.",
                ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port), ip);
    errno = EACCES;
    return -1;
}
