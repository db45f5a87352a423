#include "instance/tendwell_instance_claim.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>

#include "instance/tendwell_resolved_path.h"
#include "instance/tendwell_socket_owner.h"
#include "tendwell_utility.h"

namespace tendwell {

namespace {

constexpr char kNamePrefix[] = "tendwell:";
// Only what comes to look at the holder queues here, and the daemon clears it. A
// full queue tells nothing of its holder, who is then no daemon of this user's:
// room for many looks keeps a daemon that cannot clear them for a while (stopped)
// from seeming so.
constexpr int kBacklog = 4096;
// How many times a name that its holder let go of while it was looked at is
// bound again.
constexpr int kBindAttempts = 3;
// The looks one clearing takes at most: however many come, the daemon's main loop
// spends no more on them at a time.
constexpr size_t kDismissBatch = 64;

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
    names_ = {NameOf(WrittenPath(socket_path)), NameOf(ResolvedPath(socket_path))};
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
        const Got got = TakeName(i);
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
        if (fds_[i] < 0 && TakeName(i) == Got::kTaken) taken.push_back(names_[i]);
    }
    return taken;
}

InstanceClaim::Got InstanceClaim::TakeName(size_t i) {
    const std::string& name = names_[i];
    struct sockaddr_un addr;
    const socklen_t len = AddressOf(name, &addr);
    for (int attempt = 0; attempt < kBindAttempts; ++attempt) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            why_ = std::string("socket: ") + strerror(errno);
            return Got::kFailed;
        }
        const bool bound = bind(fd, reinterpret_cast<struct sockaddr*>(&addr), len) == 0;
        if (bound && listen(fd, kBacklog) == 0) {
            fds_[i] = fd;
            KeepReserve();
            return Got::kTaken;
        }
        const int error = errno;
        close(fd);
        if (error != EADDRINUSE) {
            why_ = std::string(bound ? "listen: " : "bind: ") + strerror(error);
            return Got::kFailed;
        }
        const Look look = LookAtHolder(name);
        if (look == Look::kUnknown) return Got::kFailed;
        if (look == Look::kFree) continue;
        if (holder_uid_ == geteuid()) return Got::kUsers;
        // Held by another user's process: no daemon of this user's.
        squatters_.push_back({name, holder_pid_, holder_uid_});
        return Got::kSquatted;
    }
    why_ = "claim " + name + " was let go of and taken again under every look";
    return Got::kFailed;
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

void InstanceClaim::KeepReserve() {
    if (reserve_fd_ < 0) reserve_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

bool InstanceClaim::Dismiss() {
    KeepReserve();
    size_t dismissed = 0;
    bool left = false;
    for (int listener : fds_) {
        if (listener >= 0 && !ClearQueue(listener, &dismissed)) left = true;
    }
    return left;
}

bool InstanceClaim::ClearQueue(int listener, size_t* dismissed) {
    while (*dismissed < kDismissBatch) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            close(fd);
            ++*dismissed;
        } else if (errno == EMFILE || errno == ENFILE) {
            // The kernel wants the descriptor before it looks at the queue: the
            // reserve is given up only for a connection that waits.
            struct pollfd waiting = {listener, POLLIN, 0};
            if (poll(&waiting, 1, 0) != 1) return true;
            if (reserve_fd_ < 0) return false;
            close(reserve_fd_);
            // Kept in its place: closed, with the reserve opened anew, it would
            // leave a moment for another thread to take the room. Shut down, its
            // client sees it closed.
            reserve_fd_ = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (reserve_fd_ < 0) return false;
            shutdown(reserve_fd_, SHUT_RDWR);
            ++*dismissed;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return true;
        } else if (errno != EINTR && errno != ECONNABORTED) {
            return false;
        }
    }
    return false;
}

bool InstanceClaim::HeldByUser() {
    std::string unknown;
    for (const std::string& name : names_) {
        const Look look = LookAtHolder(name);
        if (look == Look::kUnknown) {
            unknown = why_;
        } else if (look == Look::kHeld && holder_uid_ == geteuid()) {
            why_.clear();
            return true;
        }
    }
    why_ = unknown;
    return false;
}

InstanceClaim::Look InstanceClaim::LookAtHolder(const std::string& name) {
    holder_pid_ = 0;
    holder_uid_ = static_cast<uid_t>(-1);
    struct sockaddr_un addr;
    const socklen_t len = AddressOf(name, &addr);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        why_ = "claim " + name + " can't be looked at: " + strerror(errno);
        return Look::kUnknown;
    }
    const bool connected = connect(fd, reinterpret_cast<struct sockaddr*>(&addr), len) == 0;
    const int error = errno;
    struct ucred cred;
    socklen_t cred_len = sizeof(cred);
    const bool told =
        connected && getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &cred_len) == 0;
    close(fd);
    if (told) {
        holder_pid_ = cred.pid;
        holder_uid_ = cred.uid;
        return Look::kHeld;
    }
    // ECONNREFUSED: nobody has the name, or its holder does not listen; EAGAIN: its
    // queue is full. Neither tells whose it is: the kernel's record of the socket does.
    if (connected || (error != ECONNREFUSED && error != EAGAIN)) {
        why_ = "claim " + name + " can't be looked at: " + strerror(connected ? errno : error);
        return Look::kUnknown;
    }
    const NameOwner owner = FindNameOwner(name);
    if (owner.kind == NameOwner::kUnknown) {
        why_ = "claim " + name + " can't be looked at: " + owner.why;
        return Look::kUnknown;
    }
    if (owner.kind == NameOwner::kNone) return Look::kFree;
    holder_pid_ = owner.pid;
    holder_uid_ = owner.uid;
    return Look::kHeld;
}

}  // namespace tendwell
