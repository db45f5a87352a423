#include "corvel/path.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

namespace corvel {

int make_dirs(const char* path, mode_t mode) {
    if (!path || !*path) {
        errno = EINVAL;
        return -1;
    }
    char* copy = strdup(path);
    if (!copy) {
        errno = ENOMEM;
        return -1;
    }
    size_t pos = 0;
    while (copy[pos] == '/') ++pos;
    while (copy[pos]) {
        while (copy[pos] && copy[pos] != '/') ++pos;
        char cut = copy[pos];
        const bool last = !copy[pos + strspn(copy + pos, "/")];
        copy[pos] = '\0';
        int rc = mkdir(copy, mode);
        int err = errno;
        // An existing file where the last directory should be is no success.
        if (rc != 0 && err == EEXIST && last) {
            struct stat st;
            if (stat(copy, &st) != 0 || !S_ISDIR(st.st_mode)) err = ENOTDIR;
            else rc = 0;
        }
        copy[pos] = cut;
        if (rc != 0 && err != EEXIST) {
            free(copy);
            errno = err;
            return -1;
        }
        while (copy[pos] == '/') ++pos;
    }
    free(copy);
    return 0;
}

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_slash(char c) { return c == '/' || c == '\\'; }

}  // namespace

char* normalize_path(const char* path, bool trim) {
    if (!path) {
        errno = EINVAL;
        return nullptr;
    }
    if (trim) {
        while (is_blank(*path)) ++path;
    }
    size_t len = strlen(path);
    if (trim) {
        while (len > 0 && is_blank(path[len - 1])) --len;
    }
    // The result is never longer than the input, or "." for an empty one.
    char* out = static_cast<char*>(malloc(len + 2));
    if (!out) {
        errno = ENOMEM;
        return nullptr;
    }
    bool absolute = len > 0 && is_slash(path[0]);
    size_t used = absolute ? 1 : 0;  // out[0] holds the root slash
    if (absolute) out[0] = '/';
    size_t base = used;  // where ".." can no longer remove a component
    size_t pos = 0;
    while (pos < len) {
        while (pos < len && is_slash(path[pos])) ++pos;
        size_t begin = pos;
        while (pos < len && !is_slash(path[pos])) ++pos;
        size_t n = pos - begin;
        const char* part = path + begin;
        if (n == 0 || (n == 1 && part[0] == '.')) continue;
        if (n == 2 && part[0] == '.' && part[1] == '.') {
            if (used > base) {
                // Drop the last component and the slash before it.
                while (used > base && out[used - 1] != '/') --used;
                if (used > base) --used;
                continue;
            }
            if (absolute) continue;  // "/.." is "/"
            // Nothing left to remove: it stays, and later ".." cannot remove it.
            if (used > 0) out[used++] = '/';
            out[used++] = '.';
            out[used++] = '.';
            base = used;
            continue;
        }
        if (used > 0 && out[used - 1] != '/') out[used++] = '/';
        memcpy(out + used, part, n);
        used += n;
    }
    if (used == 0) out[used++] = '.';
    out[used] = '\0';
    return out;
}

}  // namespace corvel
