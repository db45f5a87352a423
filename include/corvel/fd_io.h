// Descriptor reads and writes, with time-outs where asked, and descriptor flags.
// Failures are -1 with errno set; time-outs are in milliseconds, below 0 meaning
// none.
#pragma once

#include <stdint.h>
#include <sys/types.h>

namespace corvel {

// Closes fd once; an interrupted close counts as closed.
int close_fd(int fd);
// read / write retried while interrupted.
ssize_t read_fd(int fd, void* buf, size_t len);
ssize_t write_fd(int fd, const void* buf, size_t len);
// With a time-out the descriptor is non-blocking for the call and readiness is
// awaited with poll; ETIMEDOUT when time runs out (returning the bytes already
// moved, if any). Without whole, one transfer ends the call; with it, the call goes
// on until len bytes are moved or input ends.
ssize_t read_timeout(int fd, void* buf, size_t len, int timeout_ms, bool whole);
ssize_t write_timeout(int fd, const void* buf, size_t len, int timeout_ms, bool whole);
ssize_t read_some(int fd, void* buf, size_t len, int timeout_ms);
ssize_t read_all(int fd, void* buf, size_t len, int timeout_ms);
ssize_t write_some(int fd, const void* buf, size_t len, int timeout_ms);
ssize_t write_all(int fd, const void* buf, size_t len, int timeout_ms);
// O_NONBLOCK on / off; 0 also when it already was so.
int set_nonblocking(int fd);
int clear_nonblocking(int fd);
int set_cloexec(int fd);

// Words of 64 bits in a descriptor bitmap: room for descriptors 0 to 51199.
constexpr int kFdBitmapWords = 800;
// Sets fd's bit in bitmap (kFdBitmapWords words) and returns the larger of max_fd
// and fd; a descriptor out of range is ignored.
int fd_bitmap_add(int max_fd, int fd, uint64_t* bitmap);

}  // namespace corvel
