// Listening, accepting and connecting, with time-outs where asked. Failures are -1
// with errno set; time-outs are in milliseconds, below 0 meaning none.
#pragma once

#include <sys/socket.h>

namespace corvel {

int listen_fd(int fd, int backlog);
// accept retried while interrupted.
int accept_fd(int fd, struct sockaddr* addr, socklen_t* addr_len);
int accept_timeout(int fd, struct sockaddr* addr, socklen_t* addr_len, int timeout_ms);
// 0, or -1 with errno set to the socket's pending error (SO_ERROR).
int socket_error(int fd);
// Waits for a connect in progress to finish, then reports socket_error.
int wait_connected(int fd, int timeout_ms);
int connect_timeout(int fd, const struct sockaddr* addr, socklen_t addr_len, int timeout_ms);
int set_reuseaddr(int fd);

}  // namespace corvel
