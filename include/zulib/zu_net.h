// zulib network: checked socket calls, listening and connecting helpers, readiness
// waits, transfers bounded by a time limit in milliseconds, name services and the IPv4
// grant list checked on accept. A failed call writes one WARNING line through the
// process log; a time-out ends with errno ETIMEDOUT. Sends made here never raise
// SIGPIPE on a socket.
#pragma once

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <stddef.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/uio.h>

struct zu_conftable_t;

// Checked socket calls: the call's result, errno as the call left it.
int zu_socket(int domain, int type, int protocol);
int zu_connect(int fd, const struct sockaddr* addr, socklen_t len);
int zu_bind(int fd, const struct sockaddr* addr, socklen_t len);
int zu_listen(int fd, int backlog);
int zu_getsockname(int fd, struct sockaddr* addr, socklen_t* len);
int zu_getpeername(int fd, struct sockaddr* addr, socklen_t* len);
int zu_setsockopt(int fd, int level, int name, const void* value, socklen_t len);
int zu_getsockopt(int fd, int level, int name, void* value, socklen_t* len);
int zu_recv(int fd, void* buf, size_t len, int flags);
int zu_send(int fd, const void* buf, size_t len, int flags);
int zu_shutdown(int fd, int how);
int zu_gethostname(char* name, size_t len);
// These two return the call's error number (0 success) and set errno to it.
int zu_getservbyname_r(const char* name, const char* proto, struct servent* entry, char* buf, size_t buflen,
                       struct servent** result);
int zu_getservbyport_r(int port, const char* proto, struct servent* entry, char* buf, size_t buflen,
                       struct servent** result);
// 0 when an entry was found, else -1 (the resolver's error in *h_errnop).
int zu_gethostbyname_r(const char* name, struct hostent* entry, char* buf, size_t buflen, struct hostent** result,
                       int* h_errnop);
// Closes without a check.
int zu_sclose(int fd);

void zu_ms_to_tv(int ms, struct timeval* tv);
// -1 for null.
int zu_tv_to_ms(const struct timeval* tv);
// 4321 on a big-endian host, 1234 on a little-endian one.
int zu_byteorder();
// An IPv4 address and port (host order); a null ip is INADDR_ANY. -1 for an ip that
// cannot be parsed.
int zu_setsockaddr(struct sockaddr_in* addr, const char* ip, int port);
// 1 socket, 0 something else, -1 fstat failed.
int zu_issocket(int fd);
int zu_getfl(int fd);
int zu_setnonblock(int fd);
int zu_setblock(int fd);

// Socket options at SOL_SOCKET: op 0 sets *value, op 1 reads it; -1 for fd < 1 or
// another op. The time-outs take a struct timeval, the others an int.
int zu_sockopt_rcvbuf(int fd, void* value, int op);
int zu_sockopt_sndbuf(int fd, void* value, int op);
int zu_sockopt_reuseaddr(int fd, void* value, int op);
int zu_sockopt_keepalive(int fd, void* value, int op);
int zu_sockopt_rcvtimeo(int fd, void* value, int op);
int zu_sockopt_sndtimeo(int fd, void* value, int op);

// Both retry on EINTR; nothing ready gives 0 with errno ETIMEDOUT. A negative
// timeout_ms waits without limit.
int zu_select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, struct timeval* timeout);
int zu_poll(struct pollfd* fds, nfds_t n, int timeout_ms);

// Readiness waits: > 0 ready, 0 timed out, -1 failed. Negative ms or a null remaining
// time wait without limit; the _tv forms decrease the remaining time by the time spent.
int zu_sreadable_ms(int fd, int ms);
int zu_swriteable_ms(int fd, int ms);
int zu_sreadable_tv(int fd, struct timeval* remaining);
int zu_swriteable_tv(int fd, struct timeval* remaining);
// Bytes waiting to be read; 0 when the peer closed, -1 on failure.
int zu_speek(int fd);

// Listening sockets on INADDR_ANY:port or a Unix path of at most 100 characters (a
// longer one fails with ENAMETOOLONG); a backlog below 1 is 5. A socket left at the
// path is removed first, anything else there is kept and the listen fails.
int zu_tcplisten(int port, int backlog);
int zu_unixlisten(const char* path, int backlog);
int zu_unixconnect(const char* path);
int zu_tcpconnect(const struct sockaddr_in* addr);
// Connects fd within the remaining time (null: no limit): 0 or -1. With
// close_on_failure 0 the descriptor is never closed.
int zu_connecto_tv(int fd, const struct sockaddr* addr, socklen_t len, struct timeval* remaining,
                   int close_on_failure);
// ms below 1: no limit.
int zu_connecto_ms(int fd, const struct sockaddr* addr, socklen_t len, int ms);
int zu_connecto_ms_noclose(int fd, const struct sockaddr* addr, socklen_t len, int ms);
// A connected TCP socket to host (dotted address or name):port, or -1.
int zu_tcpconnecto_ms(const char* host, int port, int ms);
// accept; with a grant list set, a peer it does not grant is refused: -1.
int zu_accept(int fd, struct sockaddr* addr, socklen_t* len);

// One wait and one transfer: the call's result, -2 timed out, -3 (read) or -1 (write)
// when the wait failed.
ssize_t zu_sreadonce_ms(int fd, void* buf, size_t len, int ms);
ssize_t zu_sreadonce_tv(int fd, void* buf, size_t len, struct timeval* remaining);
ssize_t zu_swriteonce_tv(int fd, const void* buf, size_t len, struct timeval* remaining);
// Exactly len bytes within ms in all (negative: no limit): len, fewer at end of
// stream (reads), or -1.
ssize_t zu_sreado_ms(int fd, void* buf, size_t len, int ms);
ssize_t zu_swriteo_ms(int fd, const void* buf, size_t len, int ms);

// Line readers: up to a newline (kept) or size - 1 bytes, terminated. 0 when the
// stream ends before the first byte, -1 on failure, else the bytes stored, plus one
// when the line ended without a newline.
int zu_sreadline_ms(int fd, char* buf, int size, int ms);
int zu_sreadline_s(int fd, char* buf, int size, int secs);

// State of the buffered reader; start with count 0.
struct zu_readbuf_t {
    char buf[1240];
    char* ptr;
    int count;
};
// 1 a byte, 0 end of stream, -1 failure.
int zu_sreadbyte_buffered(int fd, char* out, zu_readbuf_t* state, struct timeval* remaining);
// The line rule above with one time limit for the whole line (ms < 1: none).
int zu_sreadline_buffered_ms(int fd, char* buf, int size, zu_readbuf_t* state, int ms);

// Transfers through the socket's own time-out: len (or the vector's total), fewer at
// end of stream, or -1. ms 0 fails at once unless everything goes without waiting;
// negative ms waits without limit. The vector forms take 1 to 1023 entries.
ssize_t zu_srecvo_ms(int fd, void* buf, size_t len, int ms);
ssize_t zu_ssendo_ms(int fd, const void* buf, size_t len, int ms);
ssize_t zu_sreadvo_ms(int fd, const struct iovec* iov, int count, int ms);
ssize_t zu_swritevo_ms(int fd, const struct iovec* iov, int count, int ms);

// Name services: 0, -1 for an empty host, -2 when it does not resolve (h_errno set).
// binary: the first IPv4 address in bytes 4..7 of the zeroed 8-byte addr8; else the
// first address as text (16 bytes for IPv4, 46 for IPv6). list: the family, then up to
// 10 four-byte addresses.
int zu_gethostip(const char* host, void* addr8, int binary, char* text);
int zu_gethostips(const char* host, void* addr8, int binary, char* text, int* list);
// The service's port as stored (network order), also into *port; -1 on failure.
int zu_getservport(const char* name, const char* proto, int* port);

// The grant list checked by zu_accept: patterns of four dot-separated terms ("*", n or
// n-m) separated by ';'. Empty: every peer is granted.
extern char zu_ipaccess_grant[257];
// Reads "ip-access-grant" from the table (when given); empty gives
// "127.0.0.1;192.168.1.*". Returns 0.
int zu_ipaccess_grant_init(const zu_conftable_t* table);
// 1 when a pattern of list grants ip (a null or empty list grants all), else 0.
int zu_ipaccess_check(const char* ip, const char* list);
