// The kernel's table of locks (/proc/locks), asked where no lock file answers: a
// file removed from its path, or a whole folder removed, takes its lock with it
// out of every look at the path, but not out of the kernel's table, which names
// the holder and the file's inode. The holder's descriptor of that file still
// links to the path (followed by " (deleted)" once removed). Only processes of
// this user that hold a write lock are read, never the whole process table; one
// whose descriptors cannot be read is skipped, and one in another pid namespace
// cannot be seen: this look adds to the locks and never replaces them.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tendwell {

// A process that holds write locks, and the files it holds them on, as its
// descriptors name them (a removed one followed by " (deleted)").
struct LockKeeper {
    pid_t pid = 0;
    std::vector<std::string> files;
};

// The processes of this user, this one excepted, that hold a write lock on the
// file at path, or on one removed from it: through a descriptor that links to
// path as the kernel resolves it, or to that path followed by " (deleted)". An
// open without a lock is no hold. Oldest first.
std::vector<LockKeeper> FindLockKeepers(const std::string& path);

// The files that process pid holds a write lock on, as its descriptors name them
// (a removed one followed by " (deleted)"); none once it has ended; false when its
// descriptors cannot be read.
bool LockedFilesOf(pid_t pid, std::vector<std::string>* files);

// Which of two processes is the older, judged by start time (/proc/PID/stat),
// then by pid: below 0 when a is, above 0 when b is, 0 when either start time
// cannot be read (pid 0 among them).
int CompareAges(pid_t a, pid_t b);

// Of two keepers of one state file the younger gives way; one whose age cannot be
// told is taken for the older once it has kept it this long.
constexpr int kUnknownAgeMs = 1000;

}  // namespace tendwell
