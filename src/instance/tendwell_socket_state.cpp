#include "instance/tendwell_socket_state.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace tendwell {

SocketState LookAtSocket(const std::string& path, pid_t* listener) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return SocketState::kAbsent;
    if (!S_ISSOCK(st.st_mode)) return SocketState::kNotSocket;
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    // What cannot be looked at counts as live, so that nothing removes it.
    if (path.size() >= sizeof(addr.sun_path)) return SocketState::kListening;
    memcpy(addr.sun_path, path.c_str(), path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return SocketState::kListening;
    // Only a refused connect shows that nobody listens: a full backlog, a socket of
    // another user or of another type may well belong to a live process.
    SocketState state = SocketState::kListening;
    pid_t pid = 0;
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0) {
        struct ucred cred;
        socklen_t len = sizeof(cred);
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) pid = cred.pid;
    } else if (errno == ECONNREFUSED) {
        state = SocketState::kStale;
    } else if (errno == ENOENT) {
        state = SocketState::kAbsent;
    }
    close(fd);
    if (listener != nullptr) *listener = pid;
    return state;
}

std::string NotSocketText(const std::string& path) { return path + " is not a socket"; }

}  // namespace tendwell
