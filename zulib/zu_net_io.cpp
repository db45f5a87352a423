// Reads and writes bounded by a time limit, one readiness wait before each transfer,
// and the line readers over them.
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include "zu_syserr.h"
#include "zulib/zu_net.h"

namespace {

// A write that cannot raise SIGPIPE on a socket.
ssize_t write_quiet(int fd, const void* buf, size_t len) {
    ssize_t n = send(fd, buf, len, MSG_NOSIGNAL);
    if (n == -1 && errno == ENOTSOCK) n = write(fd, buf, len);
    return n;
}

struct Deadline {
    explicit Deadline(int ms) {
        if (ms >= 0) zu_ms_to_tv(ms, &left);
        tv = ms >= 0 ? &left : nullptr;
    }
    struct timeval left;
    struct timeval* tv;
};

// The line rule over read_byte (1 a byte, 0 end of stream, -1 failure).
template <class ReadByte>
int read_line(char* buf, int size, ReadByte read_byte) {
    if (!buf || size < 1) {
        errno = EINVAL;
        return -1;
    }
    char* p = buf;
    int n = 1;
    for (; n < size; ++n) {
        char c;
        int r = read_byte(&c);
        if (r == 1) {
            *p++ = c;
            if (c == '\n') break;
        } else if (r == 0) {
            if (n == 1) n = 0;
            break;
        } else {
            n = -1;
            break;
        }
    }
    *p = '\0';
    return n;
}

}  // namespace

ssize_t zu_sreadonce_tv(int fd, void* buf, size_t len, struct timeval* remaining) {
    int ready = zu_sreadable_tv(fd, remaining);
    if (ready == 0) return -2;
    if (ready < 0) return -3;
    return read(fd, buf, len);
}

ssize_t zu_sreadonce_ms(int fd, void* buf, size_t len, int ms) {
    Deadline d(ms);
    return zu_sreadonce_tv(fd, buf, len, d.tv);
}

ssize_t zu_swriteonce_tv(int fd, const void* buf, size_t len, struct timeval* remaining) {
    int ready = zu_swriteable_tv(fd, remaining);
    if (ready == 0) return -2;
    if (ready < 0) return -1;
    return write_quiet(fd, buf, len);
}

ssize_t zu_sreado_ms(int fd, void* buf, size_t len, int ms) {
    Deadline d(ms);
    char* p = static_cast<char*>(buf);
    size_t done = 0;
    while (done < len) {
        ssize_t n = zu_sreadonce_tv(fd, p + done, len - done, d.tv);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) break;
        if (n == -1 && errno == EINTR) continue;
        if (n == -2) errno = ETIMEDOUT;
        if (n == -3) errno = EIO;
        return -1;
    }
    return static_cast<ssize_t>(done);
}

ssize_t zu_swriteo_ms(int fd, const void* buf, size_t len, int ms) {
    int flags = zu_getfl(fd);
    if (flags < 0) return -1;
    bool blocking = !(flags & O_NONBLOCK);
    if (blocking && zu_setnonblock(fd) != 0) return -1;
    Deadline d(ms);
    const char* p = static_cast<const char*>(buf);
    size_t done = 0;
    ssize_t result = static_cast<ssize_t>(len);
    while (done < len) {
        ssize_t n = zu_swriteonce_tv(fd, p + done, len - done, d.tv);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == -1 && errno == EINTR) continue;
        if (n == -2) errno = ETIMEDOUT;
        result = -1;
        break;
    }
    if (blocking) {
        int err = errno;
        zu_setblock(fd);
        errno = err;
    }
    return result;
}

int zu_sreadline_ms(int fd, char* buf, int size, int ms) {
    return read_line(buf, size, [fd, ms](char* c) { return static_cast<int>(zu_sreado_ms(fd, c, 1, ms)); });
}

int zu_sreadline_s(int fd, char* buf, int size, int secs) {
    return zu_sreadline_ms(fd, buf, size, secs < 0 || secs > INT_MAX / 1000 ? -1 : secs * 1000);
}

int zu_sreadbyte_buffered(int fd, char* out, zu_readbuf_t* state, struct timeval* remaining) {
    if (state->count <= 0) {
        ssize_t n;
        do n = zu_sreadonce_tv(fd, state->buf, sizeof(state->buf), remaining);
        while (n == -1 && errno == EINTR);
        if (n == 0) return 0;
        if (n < 0) {
            if (n == -2) errno = ETIMEDOUT;
            return -1;
        }
        state->ptr = state->buf;
        state->count = static_cast<int>(n);
    }
    *out = *state->ptr++;
    --state->count;
    return 1;
}

int zu_sreadline_buffered_ms(int fd, char* buf, int size, zu_readbuf_t* state, int ms) {
    Deadline d(ms > 0 ? ms : -1);
    return read_line(buf, size, [fd, state, &d](char* c) { return zu_sreadbyte_buffered(fd, c, state, d.tv); });
}
