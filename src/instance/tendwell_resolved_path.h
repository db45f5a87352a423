// A path as written and as the kernel resolves it. The kernel names an open file
// by the second (in /proc/PID/fd), and links in a path's folders may be re-pointed
// while a daemon runs (a deploy): the claim's names and the looks at the kernel's
// table of locks take both from here.
#pragma once

#include <string>

namespace tendwell {

// path absolute (a relative one taken from the working directory now), with "//"
// and "." dropped and ".." kept.
std::string WrittenPath(const std::string& path);
// path as the kernel resolves it: the links of its folder resolved in the part
// that exists, the rest kept. The last name is never followed: a link put at the
// path must not move what is named after it elsewhere.
std::string ResolvedPath(const std::string& path);

}  // namespace tendwell
