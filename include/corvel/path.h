// Directory creation and path cleaning. Failures are -1 (or a null pointer) with
// errno set.
#pragma once

#include <sys/types.h>

namespace corvel {

// Creates every missing directory along path with mode (like mkdir -p).
int make_dirs(const char* path, mode_t mode);
// A cleaned copy of path (single slashes, no "." components, ".." resolved where it
// can be; backslashes read as slashes; blanks and tabs around it dropped when trim
// is set), allocated with malloc for the caller to free. Never made absolute.
char* normalize_path(const char* path, bool trim);

}  // namespace corvel
