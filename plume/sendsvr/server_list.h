// The server list of a network device: entries host:port[/path] separated by blanks.
#pragma once

#include <stdint.h>

namespace plumespace {

constexpr int MAX_LOG_SERVERS = 32;

struct LogServer {
    char host[1024];
    char path[256];
    int port;
    int socket;         // -1 when none
    uint8_t connected;
    uint64_t conn_id;   // tells this connection from the server's earlier ones
};

// Parses at most max entries of list into servers (sockets -1): their number, or -1
// when the list holds none or an entry without its colon, with a port outside 1..65535
// or a host or path too long.
int parse_server_list(const char* list, LogServer* servers, int max);

}  // namespace plumespace
