// Plain system helpers of the base library. They hold no state, are safe from any
// thread and report failures as -1 (or a null pointer) with errno set; they print
// nothing. Time-outs are in milliseconds, below 0 meaning none, unless said otherwise.
#pragma once

#include <stdint.h>
#include <sys/socket.h>
#include <sys/types.h>

namespace corvel {

// --- clocks and sleeping ---

uint64_t realtime_ns();
// Falls back to realtime_ns when the monotonic clock fails.
uint64_t monotonic_ns();
int64_t monotonic_s();
// The time-out minus the whole milliseconds elapsed since start_ns (monotonic);
// 0 once used up or when the clock fails.
int remaining_ms(uint64_t start_ns, int timeout_ms);
// Below 1 ms only yields the processor. Interruptible: returns the milliseconds
// left when a signal cuts the sleep short; otherwise sleeps the full time.
int sleep_ms_ex(int32_t ms, bool interruptible);
// Sleeps the full time on the monotonic clock, however many signals arrive.
int sleep_ms(int32_t ms);

// --- shell commands ---

// Runs "/bin/sh -c command" and returns its raw wait status. With a time-out the
// shell leads a new process group, which is killed (SIGKILL, SIGCONT) at the
// deadline. A null command gives 1.
int run_shell_command(const char* command, int32_t timeout_ms);
// Runs the shell through an intermediate child that reports the wait status; at
// the deadline the call fails with ETIMEDOUT and leaves the shell running.
int run_shell_command_detached(const char* command, int timeout_ms);

// A shell started by open_shell_command: the caller's end of the socket pair and
// the shell's pid.
struct ShellCommand {
    int fd;
    pid_t pid;
};
// Starts "/bin/sh -c command" in a new process group with one end of a Unix stream
// socket pair as its standard input, output and error; returns the other end and
// stores a handle for close_shell_command in *handle.
int open_shell_command(const char* command, ShellCommand** handle);
// Closes the descriptor and frees the handle. Without time-out waits for the shell
// and returns 0; with one kills its group at the deadline and returns the wait
// status.
int close_shell_command(ShellCommand* handle, int timeout_ms);

// --- paths ---

// Creates every missing directory along path with mode (like mkdir -p).
int make_dirs(const char* path, mode_t mode);
// A cleaned copy of path (single slashes, no "." components, ".." resolved where it
// can be; backslashes read as slashes; blanks and tabs around it dropped when trim
// is set), allocated with malloc for the caller to free. Never made absolute.
char* normalize_path(const char* path, bool trim);

// --- descriptors ---

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

// --- sockets ---

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

// --- process ---

// A decimal number from 0 to 2147483647 with nothing after it, else -1.
int parse_uint(const char* text);
// ITIMER_REAL with value and interval ms; below 0 disarms it.
int set_interval_timer(int ms);
// Sets the soft limit of open descriptors to count, raising the hard limit when
// needed and allowed; returns the soft limit in force.
int set_fd_limit(int count);
// Seeds rand() from /dev/urandom, else from the pid and the clock.
void seed_random();

}  // namespace corvel
