#include "instance/tendwell_lock_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tendwell {

namespace {

struct flock WholeFile(short type) {
    struct flock lock;
    memset(&lock, 0, sizeof(lock));
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    return lock;
}

// fd, or -1 with errno EINVAL when it is open on anything but a regular file.
int RegularOnly(int fd) {
    struct stat st;
    if (fd < 0 || (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))) return fd;
    close(fd);
    errno = EINVAL;
    return -1;
}

}  // namespace

int OpenLockFile(const std::string& path, int create) {
    return RegularOnly(
        open(path.c_str(), O_WRONLY | create | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, 0600));
}

std::string LockFileTrouble(const std::string& path, int error) {
    struct stat st;
    const bool seen = lstat(path.c_str(), &st) == 0;
    if (error == ELOOP || (seen && S_ISLNK(st.st_mode))) {
        return "lock file " + path + " is a symbolic link";
    }
    if (error == EINVAL || (seen && !S_ISREG(st.st_mode))) {
        return "lock file " + path + " is not a regular file";
    }
    return "lock file " + path + " cannot be opened: " + strerror(error);
}

bool NoLocksHere(int error) { return error == ENOLCK || error == EOPNOTSUPP; }

bool LockWholeFile(int fd) {
    struct flock lock = WholeFile(F_WRLCK);
    return fcntl(fd, F_SETLK, &lock) == 0;
}

bool IsFileAt(int fd, const std::string& path) {
    struct stat open_file, named_file;
    if (fstat(fd, &open_file) != 0 || stat(path.c_str(), &named_file) != 0) return false;
    return open_file.st_dev == named_file.st_dev && open_file.st_ino == named_file.st_ino;
}

int LockHolderAt(const std::string& path, pid_t* holder) {
    *holder = 0;
    const int fd = RegularOnly(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    if (fd < 0) return -1;
    struct flock lock = WholeFile(F_WRLCK);
    const int ret = fcntl(fd, F_GETLK, &lock);
    const int error = errno;
    close(fd);
    if (ret != 0) {
        errno = error;
        return -1;
    }
    if (lock.l_type == F_UNLCK) return 0;
    *holder = lock.l_pid;
    return 1;
}

}  // namespace tendwell
