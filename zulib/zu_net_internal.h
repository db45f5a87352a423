// Shared by the network wrappers' sources.
#pragma once

#include <stdint.h>
#include <sys/socket.h>

// Milliseconds of a clock that never steps back.
int64_t zu_net_now_ms();
// The failure line of connect, for a connect made without zu_connect.
void zu_net_connect_warn(int fd, const struct sockaddr* addr, socklen_t len);
