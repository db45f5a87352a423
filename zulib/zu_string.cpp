#include "zulib/zu_string.h"

#include <string.h>

namespace {

bool in_table(const char table[256], const char* p) { return table[static_cast<unsigned char>(*p)] != 0; }

bool gb_char(const char* p) {
    unsigned char first = static_cast<unsigned char>(p[0]);
    unsigned char second = static_cast<unsigned char>(p[1]);
    return first >= 176 && first <= 247 && second >= 161 && second <= 254;
}

// Past the separators at p; a GB2312 character ends the run when gb is set.
const char* skip_separators(const char* p, const char table[256], bool gb) {
    while (*p && !in_table(table, p) && !(gb && gb_char(p))) ++p;
    return p;
}

const char* copy_token(const char* p, char* token, const char table[256]) {
    while (*p && in_table(table, p)) *token++ = *p++;
    *token = '\0';
    return p;
}

}  // namespace

size_t zu_strlcpy(char* dst, const char* src, size_t size) {
    size_t len = strlen(src);
    if (size == 0) return len;
    size_t n = len < size - 1 ? len : size - 1;
    memcpy(dst, src, n);
    dst[n] = '\0';
    return len;
}

size_t zu_strlcat(char* dst, const char* src, size_t size) {
    size_t used = strnlen(dst, size);
    if (used == size) return size + strlen(src);
    return used + zu_strlcpy(dst + used, src, size - used);
}

int zu_tolower(int c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; }

int zu_strtolower(char* s) {
    if (!s) return 0;
    for (; *s; ++s) *s = static_cast<char>(zu_tolower(static_cast<unsigned char>(*s)));
    return 1;
}

int zu_strcpy_lower(char* dst, const char* src) {
    if (!dst || !src) return 0;
    while ((*dst++ = static_cast<char>(zu_tolower(static_cast<unsigned char>(*src++))))) {
    }
    return 1;
}

int zu_strncasecmp_n(const char* a, const char* b, int n) {
    for (int i = 0; i < n; ++i) {
        if (zu_tolower(static_cast<unsigned char>(a[i])) != zu_tolower(static_cast<unsigned char>(b[i]))) return n - i;
        if (a[i] == '\0') break;
    }
    return 0;
}

const char* zu_sgettoken(const char* src, char* token, const char table[256]) {
    const char* p = copy_token(skip_separators(src, table, false), token, table);
    return skip_separators(p, table, false);
}

const char* zu_sgettoken_gb(const char* src, char* token, const char table[256]) {
    const char* p = skip_separators(src, table, true);
    if (static_cast<unsigned char>(*p) >= 128) {
        token[0] = *p++;
        token[1] = *p ? *p++ : '\0';
        token[2] = '\0';
    } else {
        p = copy_token(p, token, table);
    }
    return skip_separators(p, table, true);
}
