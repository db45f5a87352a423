#include "instance/tendwell_instance_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "corvel/clock.h"
#include "instance/tendwell_lock_file.h"
#include "tendwell_utility.h"

namespace tendwell {

namespace {

// How often a hold that is in the way is looked at again.
constexpr int kLookMs = 2;

// Whether another open of the file holds a mark of the kind that mark conflicts
// with. A file system without flock has no marks: every hold then looks like a
// daemon's, as it did to older binaries.
bool MarkedElsewhere(int fd, int mark) {
    return flock(fd, mark | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

}  // namespace

InstanceLock::InstanceLock(std::string path) : path_(std::move(path)) {}

// The descriptor of a hold stays open: the lock lasts until the process exits.
InstanceLock::~InstanceLock() = default;

InstanceLock::Owner InstanceLock::Unopenable(int error) {
    struct stat st;
    // No file, nor a directory to hold one, and none can be made: nobody holds it.
    if (error != ELOOP && lstat(path_.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) {
        return kNobody;
    }
    // Whether a daemon holds a file that cannot be opened (one of another user,
    // or in a directory this user may not enter) is unknown, and anything but a
    // regular file holds nothing: nothing may act as if none did.
    why_ = LockFileTrouble(path_, error);
    return kUnusable;
}

InstanceLock::Owner InstanceLock::Probe() {
    if (path_.empty()) return kNobody;
    // Where there is no file nobody holds it: a file made for a look only would be
    // in the way of a daemon putting its own back.
    const int fd = OpenLockFile(path_, 0);
    if (fd < 0) return errno == ENOENT ? kNobody : Unopenable(errno);
    Owner owner = kDaemon;
    if (MarkedElsewhere(fd, LOCK_EX)) {
        owner = kCommand;
    } else if (LockWholeFile(fd)) {
        // Removed while this process holds both the lock and the mark, so no
        // daemon or command can take the file meanwhile; and only while the path
        // still names it: another probe may have removed it since the open, and
        // the file at the path now may be a new holder's.
        if (IsFileAt(fd, path_)) unlink(path_.c_str());
        owner = kNobody;
    } else if (errno != EACCES && errno != EAGAIN) {
        // Not a holder in the way: the lock itself cannot be asked for (no locks
        // on this file system, or none left).
        why_ = "lock file " + path_ + " cannot be probed: " + strerror(errno);
        owner = kUnusable;
    }
    close(fd);
    TW_DEBUG("CheckiSocketFileListen", "%s owner:%d", path_.c_str(), static_cast<int>(owner));
    return owner;
}

InstanceLock::Owner InstanceLock::Await(int timeout_ms) {
    const uint64_t start_ns = corvel::monotonic_ns();
    for (;;) {
        const Owner owner = Probe();
        if (owner != kCommand || corvel::remaining_ms(start_ns, timeout_ms) == 0) return owner;
        corvel::sleep_ms(kLookMs);
    }
}

bool InstanceLock::TakeForDaemon(int timeout_ms) {
    if (TakeLoop(true, timeout_ms) == kNobody && held_fd_ >= 0) {
        TW_NOTICE("LockFile", "%s locked..", path_.c_str());
        return true;
    }
    TW_WARNING("LockFile", "lock %s fail: %s", path_.c_str(),
               why_.empty() ? "held by another process or cannot be made" : why_.c_str());
    return false;
}

InstanceLock::Owner InstanceLock::TakeForCommand(int timeout_ms) {
    return TakeLoop(false, timeout_ms);
}

InstanceLock::Owner InstanceLock::TakeLoop(bool as_daemon, int timeout_ms) {
    const uint64_t start_ns = corvel::monotonic_ns();
    for (;;) {
        const int fd = OpenLockFile(path_, O_CREAT);
        if (fd < 0) return Unopenable(errno);
        // A command marks its hold before it takes it, so that no probe ever
        // takes the hold for a daemon's.
        const bool marked = as_daemon || !MarkedElsewhere(fd, LOCK_SH);
        if (marked && LockWholeFile(fd) && IsFileAt(fd, path_)) {
            held_fd_ = fd;
            return kNobody;
        }
        close(fd);
        // Who is in the way; nobody when the holder let go meanwhile.
        const Owner owner = Probe();
        if (owner == kDaemon || owner == kUnusable) return owner;
        if (corvel::remaining_ms(start_ns, timeout_ms) == 0) return kCommand;
        if (owner == kCommand) corvel::sleep_ms(kLookMs);
    }
}

InstanceLock::Owner InstanceLock::Retake() {
    int fd = OpenLockFile(path_, 0);
    if (fd < 0 && errno == ENOENT) fd = OpenLockFile(path_, O_CREAT | O_EXCL);
    if (fd < 0) {
        // Made by someone else meanwhile, or no directory yet: the next look tries again.
        if (errno == EEXIST || errno == ENOENT) return kCommand;
        const Owner owner = Unopenable(errno);
        return owner == kNobody ? kCommand : owner;
    }
    Owner owner = kCommand;
    if (LockWholeFile(fd)) {
        if (IsFileAt(fd, path_)) {
            held_fd_ = fd;
            return kNobody;
        }
    } else if (!MarkedElsewhere(fd, LOCK_EX)) {
        owner = kDaemon;
    }
    // Also drops a lock taken on a file removed meanwhile.
    close(fd);
    return owner;
}

bool InstanceLock::HeldHere() const { return held_fd_ >= 0 && IsFileAt(held_fd_, path_); }

void InstanceLock::Forsake() {
    if (held_fd_ < 0 || HeldHere()) return;
    close(held_fd_);
    held_fd_ = -1;
}

void InstanceLock::Remove() {
    if (path_.empty()) return;
    unlink(path_.c_str());
    TW_NOTICE("RemoveLockFile", "%s remove..", path_.c_str());
}

pid_t InstanceLock::HolderPid() const {
    pid_t holder;
    return LockHolderAt(path_, &holder) == 1 ? holder : 0;
}

}  // namespace tendwell
