// The network log's message head: 36 bytes of little-endian u32 fields, followed by
// body_len bytes of body.
#pragma once

#include <stdint.h>

namespace plumespace {

constexpr uint32_t LOGHEAD_MAGIC = 0xfb709394;
constexpr uint32_t LOGHEAD_SIZE = 36;
constexpr uint32_t LOGHEAD_OPEN = 1;
constexpr uint32_t LOGHEAD_DATA = 6;
constexpr uint32_t LOGHEAD_OPEN_LOG_ID = 123;

// Flags of loghead_read and loghead_write.
constexpr uint32_t LOGHEAD_CHECK_MAGIC = 1;  // write: set magic first; read: check it
constexpr uint32_t LOGHEAD_CHECK_ARGS = 2;   // a negative socket or null head: -1 at once

struct loghead_t {
    uint32_t reserved0;
    uint32_t log_id;
    uint32_t reserved[4];
    uint32_t magic;
    uint32_t command;
    uint32_t body_len;
};

// The head's wire form.
void loghead_encode(const loghead_t& head, unsigned char (&wire)[LOGHEAD_SIZE]);
void put_le32(unsigned char* at, uint32_t value);
uint32_t get_le32(const unsigned char* at);

// Sends the head, then req (req_size bytes), then rest (body_len - req_size bytes),
// within timeout_ms. 0 or a negative errno value.
int loghead_write(int sock, loghead_t* head, const void* req, uint32_t req_size, const void* rest,
                  int timeout_ms, uint32_t flags);
// Reads a head, checks it, then req_size bytes into req and the rest of the body into
// rest (at most rest_size bytes), within timeout_ms each. 0 or a negative errno value.
int loghead_read(int sock, loghead_t* head, void* req, uint32_t req_size, void* rest, uint32_t rest_size,
                 int timeout_ms, uint32_t flags);

// Whole messages: a head whose body follows it in memory, and a message of total_size
// bytes at most read into one buffer that starts with the head (-1 below 36).
int loghead_write_msg(int sock, loghead_t* head, int timeout_ms, uint32_t flags);
int loghead_read_msg(int sock, loghead_t* head, uint32_t total_size, int timeout_ms, uint32_t flags);

}  // namespace plumespace
