#include "tendwell_lock_file.h"

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

}  // namespace

int OpenLockFile(const std::string& path, int create) {
    return open(path.c_str(), O_WRONLY | create | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, 0600);
}

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
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
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
