#include "instance/tendwell_state_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "instance/tendwell_lock_file.h"
#include "tendwell_configure.h"

namespace tendwell {

namespace {

// A file removed, or a lock let go of, between two steps of a take is taken again,
// this many times at most.
constexpr int kTakeAttempts = 3;

}  // namespace

StateLock::StateLock(const PConfigure& conf)
    : state_file_(StateFilePath(conf)), path_(StateLockPath(conf)) {}

StateLock::~StateLock() { Release(); }

StateLock::Status StateLock::Keeper(pid_t* keeper, std::string* why) const {
    const int held = LockHolderAt(path_, keeper);
    if (held == 1) return kKept;
    if (held == 0) return kFree;
    return Trouble(errno, why);
}

StateLock::Status StateLock::Trouble(int error, std::string* why) const {
    if (error == ENOENT || error == ENOTDIR) return kMissing;
    if (NoLocksHere(error)) {
        *why = "state file " + state_file_ + " is unguarded: its lock file " + path_ +
               " takes no locks here (" + strerror(error) + ")";
        return kUnguarded;
    }
    *why = LockFileTrouble(path_, error);
    return kUnusable;
}

StateLock::Status StateLock::Take(pid_t* keeper, std::string* why) {
    *keeper = 0;
    if (HeldHere()) return kHeld;
    for (int attempt = 0; attempt < kTakeAttempts; ++attempt) {
        const int fd = OpenLockFile(path_, O_CREAT);
        if (fd < 0) return Trouble(errno, why);
        if (LockWholeFile(fd)) {
            if (IsFileAt(fd, path_)) {
                Release();
                fd_ = fd;
                return kHeld;
            }
            // Removed since the open: a lock on it guards nothing.
            close(fd);
            continue;
        }
        const int error = errno;
        close(fd);
        if (NoLocksHere(error)) return Trouble(error, why);
        if (error != EACCES && error != EAGAIN) {
            *why = "lock file " + path_ + " cannot be locked: " + strerror(error);
            return kUnusable;
        }
        // Let go of meanwhile: taken at the next attempt.
        if (Keeper(keeper, why) == kKept) return kKept;
    }
    *why = "lock file " + path_ + " changed under every attempt to lock it";
    return kUnusable;
}

bool StateLock::HeldHere() const { return fd_ >= 0 && IsFileAt(fd_, path_); }

void StateLock::Release() {
    if (fd_ < 0) return;
    close(fd_);
    fd_ = -1;
}

std::string StateLock::KeptText(pid_t keeper) const {
    return "state file " + state_file_ + " is kept by process " + std::to_string(keeper) +
           ": give each configuration its own data_dir or status_save_filename";
}

}  // namespace tendwell
