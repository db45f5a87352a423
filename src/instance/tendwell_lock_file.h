// Whole-file fcntl write locks, as both of the daemon's lock files hold them: the
// instance lock beside the control socket and the state file's lock beside the
// state file. A lock belongs to a process and a file: any descriptor of the file
// that the process closes drops it, so a process never opens a file it holds a
// lock on, but through the descriptor that holds it. Only a regular file is a
// lock file: a link, a FIFO, a directory or a device at the path holds nothing,
// and every look that meets one fails closed.
#pragma once

#include <sys/types.h>

#include <string>

namespace tendwell {

// Opens the lock file at path for writing. O_NONBLOCK: a FIFO planted at the
// path must not hang the open. O_NOFOLLOW: nor a link make this process create a
// file elsewhere. Never truncated: a lock file holds nothing, and a hard link may
// name a file that is not ours. create: the flags that make a missing file. -1
// with errno when it cannot be opened, EINVAL for anything but a regular file.
int OpenLockFile(const std::string& path, int create);
// Why the lock file at path cannot be used, after an open that failed with error:
// "lock file PATH is a symbolic link", "... is not a regular file" or "... cannot
// be opened: REASON".
std::string LockFileTrouble(const std::string& path, int error);
// Whether error, of a lock asked for, says that the file system takes no locks.
bool NoLocksHere(int error);
// Takes the write lock on the whole file open at fd without waiting; false when
// another process holds a lock on it, or none can be taken (errno says which).
bool LockWholeFile(int fd);
// True when path names the file open at fd: a lock on a file that has gone from
// its path, or been replaced there, guards nothing.
bool IsFileAt(int fd, const std::string& path);
// Whether a process holds a lock on the file at path that a write lock would meet,
// asked without taking it: 1, with *holder its pid (0 when it is not visible here);
// 0 when none does; -1 with errno when the file cannot be opened or asked (ENOENT:
// there is none; EINVAL: it is no regular file).
int LockHolderAt(const std::string& path, pid_t* holder);

}  // namespace tendwell
