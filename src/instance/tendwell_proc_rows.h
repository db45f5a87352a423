// The kernel's tables in /proc (/proc/locks, /proc/net/unix) as rows of
// blank-separated words. Read with stdio, by hand: a daemon that asks touches none
// of the stream library.
#pragma once

#include <stddef.h>

#include <functional>

namespace tendwell {

// Calls row with the first count words of each line of the table at path (null
// past the last word of a shorter line); false when the table cannot be read.
bool ReadProcRows(const char* path, size_t count,
                  const std::function<void(const char* const* words)>& row);

}  // namespace tendwell
