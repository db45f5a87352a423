// The state file's lock: the file at the state file's path followed by ".lock",
// on which one process at a time holds a write lock, the keeper of that state
// file: the daemon for its life, or a command run in a client for its run. The
// kernel knows a file by its inode, so every name that reaches the state file
// (a linked configuration, a folder reached by two paths, two configurations on
// one data_dir) meets at the same lock. The file is never removed: a lock file
// made again beside a removed one would let two keepers in.
#pragma once

#include <sys/types.h>

#include <string>

namespace tendwell {

class PConfigure;

class StateLock {
public:
    // The lock of conf's state file, a relative path being taken from the working
    // directory at each use.
    explicit StateLock(const PConfigure& conf);
    ~StateLock();
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

    const std::string& path() const { return path_; }

    // Who keeps the state file, asked without taking the lock: 1 when another
    // process holds the lock (*keeper its pid, 0 when it is not visible here), 0
    // when none does, -1 when the lock file is missing or cannot be asked.
    int Keeper(pid_t* keeper) const;
    // Takes the lock for this process, making the lock file where there is none.
    // True once held, or when no lock file can be made or locked at all (there is
    // then nothing to keep anyone off: held() stays false). False when another
    // process holds it, *keeper then being its pid as for Keeper.
    bool Take(pid_t* keeper);
    // True while this process holds the lock on the file the path names.
    bool HeldHere() const;
    bool held() const { return fd_ >= 0; }
    // Lets go of the lock.
    void Release();

    // The words for a state file that another process keeps, and what to do.
    std::string KeptText(pid_t keeper) const;

private:
    std::string state_file_;
    std::string path_;
    // The descriptor that holds the lock; -1 while none is held.
    int fd_ = -1;
};

}  // namespace tendwell
