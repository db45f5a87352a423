#include "keeper/pid_fd.h"

#include <errno.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tendwell {

namespace {

// The pidfd_send_signal flag of Linux 6.9, which older headers lack.
constexpr unsigned kSignalProcessGroup = 1U << 2;

}  // namespace

int OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

bool PidFdEnded(int fd, int wait_ms) {
    struct pollfd ended = {fd, POLLIN, 0};
    return poll(&ended, 1, wait_ms) > 0;
}

int SignalPidFdGroup(int fd, int signo) {
    return syscall(SYS_pidfd_send_signal, fd, signo, nullptr, kSignalProcessGroup) == 0 ? 0
                                                                                         : errno;
}

bool PidFdUnreaped(int fd) { return syscall(SYS_pidfd_send_signal, fd, 0, nullptr, 0) == 0; }

}  // namespace tendwell
