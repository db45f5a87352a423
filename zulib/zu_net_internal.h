// Shared by the network wrappers' sources.
#pragma once

#include <poll.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/time.h>

// Milliseconds of a clock that never steps back.
int64_t zu_net_now_ms();
// Polls the one descriptor of p within the remaining time (null: no limit), which is
// decreased by the time spent; zu_poll's result.
int zu_net_poll_tv(struct pollfd* p, struct timeval* remaining);
// The failure line of connect, for a connect made without zu_connect.
void zu_net_connect_warn(int fd, const struct sockaddr* addr, socklen_t len);
