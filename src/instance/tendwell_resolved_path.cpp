#include "instance/tendwell_resolved_path.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace tendwell {

std::string WrittenPath(const std::string& path) {
    std::string absolute = path;
    if (path.empty() || path[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof(cwd)) != nullptr) absolute = std::string(cwd) + "/" + path;
    }
    std::string written;
    size_t at = 0;
    while (at < absolute.size()) {
        size_t end = absolute.find('/', at);
        if (end == std::string::npos) end = absolute.size();
        const std::string part = absolute.substr(at, end - at);
        if (!part.empty() && part != ".") written += "/" + part;
        at = end + 1;
    }
    return written.empty() ? "/" : written;
}

std::string ResolvedPath(const std::string& path) {
    const std::string written = WrittenPath(path);
    const size_t slash = written.rfind('/');
    std::string dir = written.substr(0, slash);
    std::string missing;
    for (;;) {
        char resolved[PATH_MAX];
        if (realpath(dir.empty() ? "/" : dir.c_str(), resolved) != nullptr) {
            dir = strcmp(resolved, "/") == 0 ? std::string() : std::string(resolved);
            break;
        }
        const size_t cut = dir.rfind('/');
        if (cut == std::string::npos) break;
        missing = dir.substr(cut) + missing;
        dir.resize(cut);
    }
    return dir + missing + written.substr(slash);
}

}  // namespace tendwell
