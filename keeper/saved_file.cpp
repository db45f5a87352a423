#include "saved_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "corvel/fd_io.h"

namespace tendwell {

namespace {

// Creates path as a file of its own. Whatever already has the name (a leftover of
// a failed save, or a link, FIFO, device or directory put there) is removed and the
// creation tried once more, so nothing is ever written through it.
int CreateFresh(const std::string& path) {
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    int fd = open(path.c_str(), flags, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
    if (unlink(path.c_str()) != 0 && (errno != EISDIR || rmdir(path.c_str()) != 0)) return -1;
    return open(path.c_str(), flags, 0600);
}

}  // namespace

int WriteThroughNew(const std::string& path, const std::string& text, struct stat* written,
                    bool replace) {
    const std::string new_path = path + ".new";
    int fd = CreateFresh(new_path);
    if (fd < 0) return errno;
    errno = 0;
    // The mode is not left to the umask.
    bool done = fchmod(fd, 0600) == 0 &&
                corvel::write_all(fd, text.data(), text.size(), -1) ==
                    static_cast<ssize_t>(text.size()) &&
                fstat(fd, written) == 0;
    int error = done ? 0 : (errno != 0 ? errno : EIO);
    // A failed close may mean lost data: only a clean close lets the file replace
    // the one in place.
    if (close(fd) != 0 && error == 0) error = errno;
    if (error != 0) return error;
    int moved = replace ? rename(new_path.c_str(), path.c_str())
                        : renameat2(AT_FDCWD, new_path.c_str(), AT_FDCWD, path.c_str(),
                                    RENAME_NOREPLACE);
    // A file system that cannot refuse to replace: the caller has just seen no file.
    if (moved != 0 && errno == EINVAL && !replace) moved = rename(new_path.c_str(), path.c_str());
    if (moved != 0) {
        error = errno;
        unlink(new_path.c_str());
        return error;
    }
    return 0;
}

int OpenTrusted(const std::string& path, struct stat* st) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    // A symbolic link (ELOOP) is refused like any other file not to be trusted.
    if (fd < 0) {
        if (errno == ELOOP) errno = EPERM;
        return -1;
    }
    if (fstat(fd, st) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    if (!S_ISREG(st->st_mode) || st->st_uid != geteuid() ||
        (st->st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        close(fd);
        errno = EPERM;
        return -1;
    }
    return fd;
}

bool StillInPlace(const std::string& path, const struct stat* written) {
    struct stat now;
    if (stat(path.c_str(), &now) != 0) return written == nullptr && errno == ENOENT;
    return written != nullptr && now.st_dev == written->st_dev &&
           now.st_ino == written->st_ino && now.st_size == written->st_size &&
           now.st_mtim.tv_sec == written->st_mtim.tv_sec &&
           now.st_mtim.tv_nsec == written->st_mtim.tv_nsec;
}

std::string FileIdentity(const std::string& path) {
    struct statx st;
    if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO | STATX_BTIME, &st) != 0) {
        return std::string();
    }
    std::string identity = std::to_string(st.stx_dev_major) + ":" +
                           std::to_string(st.stx_dev_minor) + ":" + std::to_string(st.stx_ino);
    // Without a birth time an inode number taken over is not told apart.
    if ((st.stx_mask & STATX_BTIME) != 0) {
        identity += ":" + std::to_string(st.stx_btime.tv_sec) + "." +
                    std::to_string(st.stx_btime.tv_nsec);
    }
    return identity;
}

}  // namespace tendwell
