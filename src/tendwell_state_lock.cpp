#include "tendwell_state_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "tendwell_configure.h"
#include "tendwell_lock_file.h"

namespace tendwell {

namespace {

// A file removed, or a lock let go of, between two steps of a take is taken again,
// this many times at most.
constexpr int kTakeAttempts = 3;

}  // namespace

StateLock::StateLock(const PConfigure& conf)
    : state_file_(StateFilePath(conf)), path_(StateLockPath(conf)) {}

StateLock::~StateLock() { Release(); }

int StateLock::Keeper(pid_t* keeper) const { return LockHolderAt(path_, keeper); }

bool StateLock::Take(pid_t* keeper) {
    *keeper = 0;
    if (HeldHere()) return true;
    Release();
    for (int attempt = 0; attempt < kTakeAttempts; ++attempt) {
        const int fd = OpenLockFile(path_, O_CREAT);
        // No lock file can be made here (no folder, none writable): nothing to keep
        // anyone off, and the keeper's own saves will fail alike.
        if (fd < 0) return true;
        if (LockWholeFile(fd)) {
            if (IsFileAt(fd, path_)) {
                fd_ = fd;
                return true;
            }
            // Removed since the open: a lock on it guards nothing.
            close(fd);
            continue;
        }
        const int error = errno;
        close(fd);
        // No locks on this file system, or none left.
        if (error != EACCES && error != EAGAIN) return true;
        if (Keeper(keeper) == 1) return false;
        // Let go of meanwhile.
    }
    return true;
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
