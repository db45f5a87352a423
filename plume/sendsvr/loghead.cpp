#include "loghead.h"

#include <errno.h>
#include <string.h>
#include <sys/uio.h>

#include "plume_diag.h"
#include "zulib/zu_net.h"

namespace plumespace {
namespace {

enum class Part { HEAD, REQ, REST };

static_assert(sizeof(loghead_t) == LOGHEAD_SIZE, "the head is nine u32 fields");

void decode(const unsigned char (&wire)[LOGHEAD_SIZE], loghead_t* head) {
    uint32_t fields[LOGHEAD_SIZE / 4];
    for (uint32_t i = 0; i < LOGHEAD_SIZE / 4; ++i) fields[i] = get_le32(wire + 4 * i);
    memcpy(head, fields, sizeof(fields));
}

// What a read of want bytes that gave ret means: 0 when complete, else the failure's
// value, its line printed.
int read_result(ssize_t ret, uint32_t want, uint32_t log_id, Part part) {
    if (ret == static_cast<ssize_t>(want)) return 0;
    // A read short of its bytes met the end of the stream: the peer hung up, which is
    // what a write to it would report.
    if (ret >= 0) errno = EPIPE;
    int err = errno;
    const char* why = strerror(err);
    if (ret == 0) return -E2BIG;
    if (ret < 0) {
        PLUME_DIAG("<%u> loghead_read fail: ret=%d ERR[%s]", log_id, static_cast<int>(ret), why);
        return err == ETIMEDOUT ? -ENOEXEC : -EINTR;
    }
    int got = static_cast<int>(ret);
    if (part == Part::HEAD) {
        PLUME_DIAG("<%u> loghead_read head fail: ret %d want %u ERR[%s]", log_id, got, want, why);
        return -EIO;
    }
    if (part == Part::REQ)
        PLUME_DIAG("<%u> loghead_read fail: ret %d want %u ERR[%s]", log_id, got, want, why);
    else
        PLUME_DIAG("<%u> loghead_read fail: ret %d want %d ERR[%s]", log_id, got, static_cast<int>(want), why);
    return -EINTR;
}

int read_part(int sock, void* buf, uint32_t want, int timeout_ms, uint32_t log_id, Part part) {
    if (want == 0) return 0;
    return read_result(zu_sreado_ms(sock, buf, want, timeout_ms), want, log_id, part);
}

}  // namespace

void put_le32(unsigned char* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint32_t get_le32(const unsigned char* at) {
    return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

void loghead_encode(const loghead_t& head, unsigned char (&wire)[LOGHEAD_SIZE]) {
    uint32_t fields[LOGHEAD_SIZE / 4];
    memcpy(fields, &head, sizeof(fields));
    for (uint32_t i = 0; i < LOGHEAD_SIZE / 4; ++i) put_le32(wire + 4 * i, fields[i]);
}

int loghead_write(int sock, loghead_t* head, const void* req, uint32_t req_size, const void* rest,
                  int timeout_ms, uint32_t flags) {
    if ((flags & LOGHEAD_CHECK_ARGS) && (sock < 0 || !head)) return -1;
    if (flags & LOGHEAD_CHECK_MAGIC) head->magic = LOGHEAD_MAGIC;
    if (head->body_len < req_size) {
        PLUME_DIAG("<%u> loghead_write body_len error: req_size=%u body_len=%u", head->log_id, req_size,
                   head->body_len);
        errno = EINVAL;
        return -ENOENT;
    }
    uint32_t rest_size = head->body_len - req_size;
    if ((req_size && !req) || (rest_size && !rest)) {
        errno = EINVAL;
        return -EINVAL;
    }
    unsigned char wire[LOGHEAD_SIZE];
    loghead_encode(*head, wire);
    struct iovec iov[3] = {{wire, LOGHEAD_SIZE}};
    int count = 1;
    if (req_size) iov[count++] = {const_cast<void*>(req), req_size};
    if (rest_size) iov[count++] = {const_cast<void*>(rest), rest_size};
    // One vector write: the head and its body leave together, and a hung-up peer
    // cannot raise SIGPIPE.
    uint32_t want = LOGHEAD_SIZE + head->body_len;
    ssize_t ret = zu_swritevo_ms(sock, iov, count, timeout_ms);
    if (ret == static_cast<ssize_t>(want)) return 0;
    int err = errno;
    const char* why = strerror(err);
    if (ret <= 0) {
        PLUME_DIAG("<%u> loghead_write fail: ret=%d ERR[%s]", head->log_id, static_cast<int>(ret), why);
        if (ret == 0) return -E2BIG;
        return err == ETIMEDOUT ? -ENOEXEC : -ESRCH;
    }
    if (ret < static_cast<ssize_t>(LOGHEAD_SIZE)) {
        PLUME_DIAG("<%u> loghead_write head fail: ret %d want %u ERR[%s]", head->log_id, static_cast<int>(ret),
                   LOGHEAD_SIZE, why);
        return -ENXIO;
    }
    PLUME_DIAG("<%u> loghead_write fail: ret %d want %u ERR[%s]", head->log_id, static_cast<int>(ret), want, why);
    return -ESRCH;
}

int loghead_read(int sock, loghead_t* head, void* req, uint32_t req_size, void* rest, uint32_t rest_size,
                 int timeout_ms, uint32_t flags) {
    if ((flags & LOGHEAD_CHECK_ARGS) && (sock < 0 || !head)) return -1;
    unsigned char wire[LOGHEAD_SIZE] = {};
    ssize_t got = zu_sreado_ms(sock, wire, LOGHEAD_SIZE, timeout_ms);
    decode(wire, head);
    int ret = read_result(got, LOGHEAD_SIZE, head->log_id, Part::HEAD);
    if (ret != 0) return ret;
    if ((flags & LOGHEAD_CHECK_MAGIC) && head->magic != LOGHEAD_MAGIC) {
        PLUME_DIAG("<%u> loghead_read magic num mismatch: ret %x want %x", head->log_id, head->magic, LOGHEAD_MAGIC);
        errno = EBADMSG;
        return -EBADF;
    }
    if (head->body_len < req_size || head->body_len - req_size > rest_size) {
        PLUME_DIAG("<%u> loghead_read body_len error: req_size=%u buf_size=%u body_len=%u", head->log_id, req_size,
                   rest_size, head->body_len);
        errno = EBADMSG;
        return -ENOENT;
    }
    ret = read_part(sock, req, req_size, timeout_ms, head->log_id, Part::REQ);
    if (ret != 0) return ret;
    return read_part(sock, rest, head->body_len - req_size, timeout_ms, head->log_id, Part::REST);
}

int loghead_write_msg(int sock, loghead_t* head, int timeout_ms, uint32_t flags) {
    if (!head) return -1;
    return loghead_write(sock, head, nullptr, 0, head + 1, timeout_ms, flags);
}

int loghead_read_msg(int sock, loghead_t* head, uint32_t total_size, int timeout_ms, uint32_t flags) {
    if (!head || total_size < LOGHEAD_SIZE) return -1;
    return loghead_read(sock, head, nullptr, 0, head + 1, total_size - LOGHEAD_SIZE, timeout_ms, flags);
}

}  // namespace plumespace
