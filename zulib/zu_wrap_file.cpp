// Checked descriptor and file calls.
#include <fcntl.h>

#include "zu_syserr.h"
#include "zulib/zu_syscall.h"

int zu_open(const char* path, int flags, mode_t mode) {
    int fd = open(path, flags, mode);
    if (fd == -1) ZU_SYSWARN("open(%s,%d,%d) call failed.error[%d] info is '%s'.", path, flags, static_cast<int>(mode));
    return fd;
}

ssize_t zu_read(int fd, void* buf, size_t count) {
    ssize_t n = read(fd, buf, count);
    if (n == -1) ZU_SYSWARN("read(%d,%zu) call failed.error[%d] info is '%s'.", fd, count);
    return n;
}

ssize_t zu_write(int fd, const void* buf, size_t count) {
    ssize_t n = write(fd, buf, count);
    if (n == -1) ZU_SYSWARN("write(%d,%zu) call failed.error[%d] info is '%s'.", fd, count);
    return n;
}

int zu_close(int fd) {
    int ret = close(fd);
    if (ret == -1) ZU_SYSWARN("close(%d) call failed.error[%d] info is '%s'.", fd);
    return ret;
}

int zu_fcntl(int fd, int cmd, long arg) {
    int ret = fcntl(fd, cmd, arg);
    if (ret == -1) ZU_SYSWARN("fcntl(%d,%d,%d) call failed.error[%d] info is '%s'.", fd, cmd, static_cast<int>(arg));
    return ret;
}

int zu_dup(int fd) {
    int ret = dup(fd);
    if (ret == -1) ZU_SYSWARN("dup(%d) call failed.error[%d] info is '%s'.", fd);
    return ret;
}

int zu_dup2(int oldfd, int newfd) {
    int ret = dup2(oldfd, newfd);
    if (ret == -1) ZU_SYSWARN("dup2(%d) call failed.error[%d] info is '%s'.", oldfd);
    return ret;
}

off_t zu_lseek(int fd, off_t offset, int whence) {
    off_t ret = lseek(fd, offset, whence);
    if (ret == -1)
        ZU_SYSWARN("lseek(%d,%ld,%d) call failed.error(%d) info is %s.", fd, static_cast<long>(offset), whence);
    return ret;
}

int zu_pipe(int fds[2]) {
    int ret = pipe(fds);
    if (ret == -1) ZU_SYSWARN("pipe() call failed.error(%d) info is %s.");
    return ret;
}

int zu_stat(const char* path, struct stat* st) {
    int ret = stat(path, st);
    if (ret == -1) ZU_SYSWARN("stat(%s) call failed.error[%d] info is '%s'.", path);
    return ret;
}

int zu_fstat(int fd, struct stat* st) {
    int ret = fstat(fd, st);
    if (ret == -1) ZU_SYSWARN("fstat(%d) call failed.error[%d] info is '%s'.", fd);
    return ret;
}

int zu_unlink(const char* path) {
    int ret = unlink(path);
    if (ret == -1) ZU_SYSWARN("unlink(%s) call failed.error[%d] info is '%s'.", path);
    return ret;
}

int zu_fchmod(int fd, mode_t mode) {
    int ret = fchmod(fd, mode);
    if (ret == -1) ZU_SYSWARN("fchmod(%d,%d) call failed,error[%d] info is '%s'.", fd, static_cast<int>(mode));
    return ret;
}

int zu_chdir(const char* path) {
    int ret = chdir(path);
    if (ret == -1) ZU_SYSWARN("chdir(%s) call failed.error[%d] info is '%s'.", path);
    return ret;
}

int zu_fchdir(int fd) {
    int ret = fchdir(fd);
    if (ret == -1) ZU_SYSWARN("fchdir(%d) call failed,error[%d] info is '%s'.", fd);
    return ret;
}

int zu_fchown(int fd, uid_t owner, gid_t group) {
    int ret = fchown(fd, owner, group);
    if (ret == -1)
        ZU_SYSWARN("fchown(%d,%d,%d) call failed,error[%d] info is '%s'.", fd, static_cast<int>(owner),
                   static_cast<int>(group));
    return ret;
}

int zu_truncate(const char* path, off_t length) {
    int ret = truncate(path, length);
    if (ret == -1) ZU_SYSWARN("truncate(%s,%ld) call failed.error[%d] info is '%s'.", path, static_cast<long>(length));
    return ret;
}

int zu_ftruncate(int fd, off_t length) {
    int ret = ftruncate(fd, length);
    if (ret == -1) ZU_SYSWARN("ftruncate(%d,%ld) call failed.error[%d] info is '%s'.", fd, static_cast<long>(length));
    return ret;
}

namespace {

constexpr long NO_LIMIT = -100;

// Runs a pathconf call; -1 with errno untouched is NO_LIMIT. errno is the caller's again
// unless the call failed.
template <typename Call>
long path_limit(Call call) {
    int saved = errno;
    errno = 0;
    long ret = call();
    if (ret != -1 || errno == 0) {
        errno = saved;
        return ret == -1 ? NO_LIMIT : ret;
    }
    return ret;
}

}  // namespace

long zu_fpathconf(int fd, int name) {
    long ret = path_limit([&] { return fpathconf(fd, name); });
    if (ret == -1) ZU_SYSWARN("fpathconf(%d,%d) call failed.error[%d] info is '%s'.", fd, name);
    return ret;
}

long zu_pathconf(const char* path, int name) {
    long ret = path_limit([&] { return pathconf(path, name); });
    if (ret == -1) ZU_SYSWARN("pathconf(%s,%d) call failed.error[%d] info is '%s'.", path, name);
    return ret;
}

int zu_mkfifo(const char* path, mode_t mode) {
    if (!path || !path[0]) return -1;
    int ret = mkfifo(path, mode);
    if (ret == -1) ZU_SYSWARN("mkfifo(%s,%d) call failed.error[%d] info is '%s'.", path, static_cast<int>(mode));
    return ret;
}
