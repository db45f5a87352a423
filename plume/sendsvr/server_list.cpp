#include "server_list.h"

#include <ctype.h>
#include <string.h>

namespace plumespace {
namespace {

bool is_blank(char c) { return c != '\0' && isspace(static_cast<unsigned char>(c)); }

// Parses one entry at p into s and moves p past it; false when it is invalid.
bool parse_entry(const char*& p, LogServer* s) {
    const char* colon = strchr(p, ':');
    const char* end = p;
    while (*end && !is_blank(*end)) ++end;
    if (!colon || colon >= end || colon == p || colon - p >= static_cast<long>(sizeof(s->host))) return false;
    memset(s, 0, sizeof(*s));
    memcpy(s->host, p, static_cast<size_t>(colon - p));
    const char* q = colon + 1;
    long port = 0;
    if (!isdigit(static_cast<unsigned char>(*q))) return false;
    for (; isdigit(static_cast<unsigned char>(*q)); ++q)
        if ((port = port * 10 + (*q - '0')) > 65535) return false;
    if (port < 1) return false;
    if (*q == '/') {
        ++q;
        if (end - q >= static_cast<long>(sizeof(s->path))) return false;
        memcpy(s->path, q, static_cast<size_t>(end - q));
    } else if (q != end) {
        return false;
    }
    s->port = static_cast<int>(port);
    s->socket = -1;
    p = end;
    return true;
}

}  // namespace

int parse_server_list(const char* list, LogServer* servers, int max) {
    if (!list) return -1;
    int n = 0;
    for (const char* p = list; n < max;) {
        while (is_blank(*p)) ++p;
        if (!*p) break;
        if (!parse_entry(p, &servers[n])) return -1;
        ++n;
    }
    return n > 0 ? n : -1;
}

}  // namespace plumespace
