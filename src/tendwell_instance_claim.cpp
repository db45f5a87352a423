#include "tendwell_instance_claim.h"

#include <errno.h>
#include <limits.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "corvel/clock.h"
#include "corvel/path.h"
#include "tendwell_utility.h"

namespace tendwell {

namespace {

constexpr char kNamePrefix[] = "tendwell:";
// Only what comes to look at the holder queues here, and the daemon clears it.
constexpr int kBacklog = 64;
// How long a holder that has bound but not yet listened, or is letting go, is
// looked at again before the claim counts as another's.
constexpr int kSettleMs = 100;

// path absolute and cleaned, with the links resolved in the directories that
// exist. The last name is never followed: a link put at the socket path must not
// move the claim elsewhere.
std::string CanonicalPath(const std::string& path) {
    std::string absolute = path;
    if (path.empty() || path[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof(cwd)) != nullptr) absolute = std::string(cwd) + "/" + path;
    }
    char* cleaned = corvel::normalize_path(absolute.c_str(), false);
    const std::string clean = cleaned != nullptr ? cleaned : absolute;
    free(cleaned);
    const size_t slash = clean.rfind('/');
    if (slash == std::string::npos) return clean;
    std::string dir = clean.substr(0, slash);
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
    return dir + missing + clean.substr(slash);
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
    const std::string canonical = CanonicalPath(socket_path);
    name_ = kNamePrefix + Md5Hex(canonical.data(), canonical.size());
}

InstanceClaim::~InstanceClaim() { Release(); }

bool InstanceClaim::Take() {
    if (fd_ >= 0) return true;
    struct sockaddr_un addr;
    const socklen_t len = AddressOf(name_, &addr);
    const uint64_t start_ns = corvel::monotonic_ns();
    for (;;) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            why_ = std::string("socket: ") + strerror(errno);
            return false;
        }
        const bool bound = bind(fd, reinterpret_cast<struct sockaddr*>(&addr), len) == 0;
        if (bound && listen(fd, kBacklog) == 0) {
            fd_ = fd;
            return true;
        }
        const int error = errno;
        close(fd);
        if (error != EADDRINUSE) {
            why_ = std::string(bound ? "listen: " : "bind: ") + strerror(error);
            return false;
        }
        if (LookAtHolder() != Look::kFree || corvel::remaining_ms(start_ns, kSettleMs) == 0) {
            return false;
        }
        corvel::sleep_ms(1);
    }
}

void InstanceClaim::Renew() {
    if (fd_ >= 0) listen(fd_, kBacklog);
}

void InstanceClaim::Release() {
    if (fd_ < 0) return;
    close(fd_);
    fd_ = -1;
}

void InstanceClaim::Dismiss() {
    if (fd_ < 0) return;
    for (;;) {
        const int fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            close(fd);
        } else if (errno != EINTR && errno != ECONNABORTED) {
            return;
        }
    }
}

bool InstanceClaim::HeldByAny() {
    // What cannot be told counts as held: nothing may then act as the owner.
    return LookAtHolder() != Look::kFree;
}

InstanceClaim::Look InstanceClaim::LookAtHolder() {
    holder_pid_ = 0;
    holder_uid_ = static_cast<uid_t>(-1);
    struct sockaddr_un addr;
    const socklen_t len = AddressOf(name_, &addr);
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
