#include "tendwell_instance_claim.h"

#include <errno.h>
#include <fcntl.h>
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
// Only what comes to look at the holder queues here, and the daemon clears it. A
// full queue tells nothing of its holder, who is then no daemon of this user's:
// room for many looks keeps a daemon that cannot clear them for a while (stopped)
// from seeming so.
constexpr int kBacklog = 4096;
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
    fds_.assign(names_.size(), -1);
}

InstanceClaim::~InstanceClaim() { Release(); }

bool InstanceClaim::holding() const {
    return std::any_of(fds_.begin(), fds_.end(), [](int fd) { return fd >= 0; });
}

bool InstanceClaim::Take() {
    why_.clear();
    squatters_.clear();
    for (size_t i = 0; i < names_.size(); ++i) {
        if (fds_[i] >= 0) continue;
        const Got got = TakeName(i, true);
        if (got == Got::kUsers || got == Got::kFailed) {
            // Every name taken goes before the refusal is told.
            Release();
            return false;
        }
    }
    return true;
}

std::vector<std::string> InstanceClaim::TakeMissing() {
    std::vector<std::string> taken;
    // Told again by each look: those that still hold a name.
    squatters_.clear();
    for (size_t i = 0; i < names_.size(); ++i) {
        if (fds_[i] < 0 && TakeName(i, false) == Got::kTaken) taken.push_back(names_[i]);
    }
    return taken;
}

InstanceClaim::Got InstanceClaim::TakeName(size_t i, bool settle) {
    const std::string& name = names_[i];
    struct sockaddr_un addr;
    const socklen_t len = AddressOf(name, &addr);
    const uint64_t start_ns = corvel::monotonic_ns();
    for (;;) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            why_ = std::string("socket: ") + strerror(errno);
            return Got::kFailed;
        }
        const bool bound = bind(fd, reinterpret_cast<struct sockaddr*>(&addr), len) == 0;
        if (bound && listen(fd, kBacklog) == 0) {
            fds_[i] = fd;
            if (reserve_fd_ < 0) reserve_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
            return Got::kTaken;
        }
        const int error = errno;
        close(fd);
        if (error != EADDRINUSE) {
            why_ = std::string(bound ? "listen: " : "bind: ") + strerror(error);
            return Got::kFailed;
        }
        const Look look = LookAtHolder(name);
        if (look == Look::kUnknown) {
            why_ = std::string("look at its holder: ") + strerror(errno);
            return Got::kFailed;
        }
        if (look == Look::kHeld && holder_uid_ == geteuid()) return Got::kUsers;
        // Bound by a holder that does not listen yet (a daemon starting, or letting
        // go), or held by another user's process: no daemon of this user's.
        if (look == Look::kHeld || !settle || corvel::remaining_ms(start_ns, kSettleMs) == 0) {
            squatters_.push_back({name, holder_pid_, holder_uid_});
            return Got::kSquatted;
        }
        corvel::sleep_ms(1);
    }
}

void InstanceClaim::Renew() {
    for (int fd : fds_) {
        if (fd >= 0) listen(fd, kBacklog);
    }
}

void InstanceClaim::Release() {
    for (int& fd : fds_) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    if (reserve_fd_ >= 0) close(reserve_fd_);
    reserve_fd_ = -1;
}

void InstanceClaim::Dismiss() {
    for (int listener : fds_) {
        if (listener < 0) continue;
        for (;;) {
            int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0 && (errno == EMFILE || errno == ENFILE) && reserve_fd_ >= 0) {
                // The reserve makes room for this one, which goes at once.
                close(reserve_fd_);
                fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                const int error = errno;
                if (fd >= 0) close(fd);
                reserve_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
                if (fd >= 0) continue;
                errno = error;
            }
            if (fd >= 0) {
                close(fd);
            } else if (errno != EINTR && errno != ECONNABORTED) {
                break;
            }
        }
    }
}

bool InstanceClaim::HeldByUser() {
    why_.clear();
    for (const std::string& name : names_) {
        const Look look = LookAtHolder(name);
        if (look == Look::kUnknown) {
            why_ = "claim " + name + " can't be looked at: " + strerror(errno);
        } else if (look == Look::kHeld && holder_uid_ == geteuid()) {
            why_.clear();
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
        // EAGAIN: a holder whose queue is full, whose user cannot be told.
        look = Look::kUnknown;
    }
    const int error = errno;
    close(fd);
    errno = error;
    return look;
}

}  // namespace tendwell
