// The state file's lock: the file at the state file's path followed by ".lock",
// on which one process at a time holds a write lock, the keeper of that state
// file: the daemon for its life, or a command run in a client for its run. The
// kernel knows a file by its inode, so every name that reaches the state file
// (a linked configuration, a folder reached by two paths, two configurations on
// one data_dir) meets at the same lock. The file is never removed: a lock file
// made again beside a removed one would let two keepers in; the keeper of a
// removed one is still found in the kernel's table of locks
// (tendwell_lock_table.h). Anything but a regular file at the path keeps every
// keeper off: nothing can be held there.
#pragma once

#include <sys/types.h>

#include <string>

namespace tendwell {

class PConfigure;

class StateLock {
public:
    enum Status {
        // This process holds the lock (Take).
        kHeld,
        // Another process holds it: *keeper is its pid, 0 when it is not visible here.
        kKept,
        // Nobody holds it (Keeper).
        kFree,
        // There is no lock file, nor a folder to make one in.
        kMissing,
        // Not a regular file, or it cannot be opened or locked: *why says so.
        kUnusable,
        // The file system takes no locks: nothing guards the state file (*why).
        kUnguarded,
    };

    // The lock of conf's state file, a relative path being taken from the working
    // directory at each use.
    explicit StateLock(const PConfigure& conf);
    ~StateLock();
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

    const std::string& path() const { return path_; }

    // Who holds the lock of the file at the path, asked without taking it: kKept,
    // kFree, kMissing, kUnusable or kUnguarded. This process's own hold is no
    // other's: kFree.
    Status Keeper(pid_t* keeper, std::string* why) const;
    // Takes the lock of the file at the path for this process, making the file
    // where there is none: kHeld, or kKept, kMissing, kUnusable, kUnguarded. A
    // hold of a file that has gone from the path or been replaced there is kept
    // until the new one is held: its keeper is still found by the kernel's table.
    Status Take(pid_t* keeper, std::string* why);
    // True while this process holds the lock on the file the path names.
    bool HeldHere() const;
    // Lets go of the lock.
    void Release();

    // The words for a state file that another process keeps, and what to do.
    std::string KeptText(pid_t keeper) const;

private:
    // What an open or look that failed with error says: kMissing, kUnguarded or
    // kUnusable, with *why.
    Status Trouble(int error, std::string* why) const;

    std::string state_file_;
    std::string path_;
    // The descriptor that holds the lock; -1 while none is held.
    int fd_ = -1;
};

}  // namespace tendwell
