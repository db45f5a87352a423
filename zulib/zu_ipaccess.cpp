// The IPv4 grant list: patterns of four terms, each "*", a number or a range.
#include <stdio.h>
#include <string.h>

#include "zulib/zu_conf.h"
#include "zulib/zu_net.h"

char zu_ipaccess_grant[257];

namespace {

constexpr int MATCH = 1;
constexpr int NO_MATCH = 0;
constexpr int INVALID = 2;
constexpr size_t MAX_PATTERN = 256;

// Reads a decimal number at *p (at least one digit); false when there is none.
bool number(const char*& p, long* value) {
    if (*p < '0' || *p > '9') return false;
    long v = 0;
    for (; *p >= '0' && *p <= '9'; ++p)
        if (v < 100000) v = v * 10 + (*p - '0');
    *value = v;
    return true;
}

int term_match(const char* ip, const char* pattern) {
    if (!ip || !pattern || !*ip || !*pattern) return INVALID;
    if (*pattern == '*') return MATCH;
    long value, lo, hi;
    if (!number(ip, &value) || (*ip != '.' && *ip != '\0')) return INVALID;
    if (!number(pattern, &lo) || (*pattern != '.' && *pattern != '-' && *pattern != '\0')) return INVALID;
    hi = lo;
    if (*pattern == '-') {
        ++pattern;
        if (!number(pattern, &hi) || (*pattern != '.' && *pattern != '\0')) return INVALID;
    }
    return lo <= value && value <= hi ? MATCH : NO_MATCH;
}

int address_match(const char* ip, const char* pattern) {
    for (int octet = 0; octet < 4; ++octet) {
        int r = term_match(ip, pattern);
        if (r != MATCH) return r;
        if (octet == 3) break;
        ip = strchr(ip, '.');
        pattern = strchr(pattern, '.');
        if (!ip || !pattern) return INVALID;
        ++ip;
        ++pattern;
    }
    return MATCH;
}

}  // namespace

int zu_ipaccess_grant_init(const zu_conftable_t* table) {
    memset(zu_ipaccess_grant, 0, sizeof(zu_ipaccess_grant));
    if (table) zu_getconfstr(table, "ip-access-grant", zu_ipaccess_grant, sizeof(zu_ipaccess_grant));
    if (!zu_ipaccess_grant[0]) snprintf(zu_ipaccess_grant, sizeof(zu_ipaccess_grant), "%s", "127.0.0.1;192.168.1.*");
    return 0;
}

int zu_ipaccess_check(const char* ip, const char* list) {
    if (!list || !list[0]) return 1;
    for (const char* p = list;;) {
        const char* end = strchr(p, ';');
        if (!end) return address_match(ip, p) == MATCH ? 1 : 0;
        size_t len = static_cast<size_t>(end - p);
        if (len < MAX_PATTERN) {
            char pattern[MAX_PATTERN];
            memcpy(pattern, p, len);
            pattern[len] = '\0';
            if (address_match(ip, pattern) == MATCH) return 1;
        }
        p = end + 1;
    }
}
