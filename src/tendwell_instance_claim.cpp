#include "tendwell_instance_claim.h"

#include <errno.h>
#include <limits.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>

#include "corvel/clock.h"
#include "tendwell_utility.h"

namespace tendwell {

namespace {

constexpr char kNamePrefix[] = "tendwell:";
// Only what comes to look at the holder queues here, and the daemon clears it.
constexpr int kBacklog = 64;
// How long a holder that has bound but not yet listened, or is letting go, is
// looked at again before the claim counts as another's.
constexpr int kSettleMs = 100;

// path absolute, with "//" and "." dropped and ".." kept: the path as written,
// which is the one a later start, and the daemon's own look after its files,
// follow whatever a link above it points to then.
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

// written, a path as WrittenPath makes it, as the kernel resolves it: the links
// of its folder resolved in the part that exists, the rest kept. The last name is
// never followed: a link put at the socket path must not move the claim elsewhere.
std::string ResolvedPath(const std::string& written) {
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

std::string NameOf(const std::string& path) {
    return kNamePrefix + Md5Hex(path.data(), path.size());
}

socklen_t AddressOf(const std::string& name, struct sockaddr_un* addr) {
    memset(addr, 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    // The leading NUL puts the name in the abstract namespace.
    memcpy(addr->sun_path + 1, name.data(), name.size());
    return static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + name.size());
}

}  // namespace

InstanceClaim::InstanceClaim(const std::string& socket_path) {
    const std::string written = WrittenPath(socket_path);
    names_ = {NameOf(written), NameOf(ResolvedPath(written))};
    // Taken in one order by every start, so that two starts never hold one name
    // each and both give up.
    std::sort(names_.begin(), names_.end());
    names_.erase(std::unique(names_.begin(), names_.end()), names_.end());
}

InstanceClaim::~InstanceClaim() { Release(); }

bool InstanceClaim::Take() {
    if (holding()) return true;
    why_.clear();
    for (const std::string& name : names_) {
        const int fd = TakeName(name);
        if (fd < 0) {
            // Every name taken goes before the refusal is told.
            Release();
            return false;
        }
        fds_.push_back(fd);
    }
    return true;
}

int InstanceClaim::TakeName(const std::string& name) {
    struct sockaddr_un addr;
    const socklen_t len = AddressOf(name, &addr);
    const uint64_t start_ns = corvel::monotonic_ns();
    for (;;) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            why_ = std::string("socket: ") + strerror(errno);
            return -1;
        }
        const bool bound = bind(fd, reinterpret_cast<struct sockaddr*>(&addr), len) == 0;
        if (bound && listen(fd, kBacklog) == 0) return fd;
        const int error = errno;
        close(fd);
        if (error != EADDRINUSE) {
            why_ = std::string(bound ? "listen: " : "bind: ") + strerror(error);
            return -1;
        }
        if (LookAtHolder(name) != Look::kFree || corvel::remaining_ms(start_ns, kSettleMs) == 0) {
            held_name_ = name;
            return -1;
        }
        corvel::sleep_ms(1);
    }
}

void InstanceClaim::Renew() {
    for (int fd : fds_) listen(fd, kBacklog);
}

void InstanceClaim::Release() {
    for (int fd : fds_) close(fd);
    fds_.clear();
}

void InstanceClaim::Dismiss() {
    for (int listener : fds_) {
        for (;;) {
            const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                close(fd);
            } else if (errno != EINTR && errno != ECONNABORTED) {
                break;
            }
        }
    }
}

bool InstanceClaim::HeldByUser() {
    const uid_t unknown = static_cast<uid_t>(-1);
    for (const std::string& name : names_) {
        if (LookAtHolder(name) != Look::kFree &&
            (holder_uid_ == unknown || holder_uid_ == geteuid())) {
            held_name_ = name;
            return true;
        }
    }
    return false;
}

InstanceClaim::Look InstanceClaim::LookAtHolder(const std::string& name) {
    holder_pid_ = 0;
    holder_uid_ = static_cast<uid_t>(-1);
    struct sockaddr_un addr;
    const socklen_t len = AddressOf(name, &addr);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return Look::kUnknown;
    Look look = Look::kHeld;
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), len) == 0) {
        struct ucred cred;
        socklen_t cred_len = sizeof(cred);
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &cred_len) == 0) {
            holder_pid_ = cred.pid;
            holder_uid_ = cred.uid;
        }
    } else if (errno == ECONNREFUSED) {
        // Nobody has the name, or its holder does not listen yet.
        look = Look::kFree;
    } else if (errno != EAGAIN) {
        // EAGAIN: a holder whose queue is full.
        look = Look::kUnknown;
    }
    close(fd);
    return look;
}

}  // namespace tendwell
