// Shell commands: with a time-out that kills the process group, through an
// intermediate reporting child, and over a socket pair.
#include "corvel/shell.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <new>

#include "corvel/clock.h"
#include "corvel/fd_io.h"
#include "corvel/spawn.h"

namespace corvel {

namespace {

enum class AtDeadline { kKillGroup, kGiveUp };

// The intermediate child of run_shell_command_detached must not act on what the
// daemon handles, ignores or blocks. Async-signal-safe calls only: it is forked
// from a threaded process.
void reset_signals() {
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// fork() with every signal blocked across it, so that none of our handlers can run
// in the child before it resets them; the child starts with all signals blocked.
pid_t fork_quiet() {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pid_t pid = fork();
    if (pid == 0) return 0;
    int saved = errno;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = saved;
    return pid;
}

// Starts "/bin/sh -c command", in a new process group when new_group is set; the
// pid, or -1 with errno.
pid_t start_shell(const char* command, bool new_group) {
    ShellSetup setup;
    setup.new_group = new_group;
    return spawn_shell(command, setup);
}

// Kills and reaps the child when a thread cancellation unwinds through its wait,
// as system() does, so a cancelled caller leaves no command behind.
class ReapOnUnwind {
public:
    ReapOnUnwind(pid_t pid, bool group) : pid_(pid), group_(group) {}
    ~ReapOnUnwind() {
        if (!armed_) return;
        kill(group_ ? -pid_ : pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    ReapOnUnwind(const ReapOnUnwind&) = delete;
    ReapOnUnwind& operator=(const ReapOnUnwind&) = delete;
    void disarm() { armed_ = false; }

private:
    pid_t pid_;
    bool group_;
    bool armed_ = true;
};

bool kill_group(pid_t pgid) {
    if (kill(-pgid, SIGKILL) != 0 && errno != ESRCH) return false;
    if (kill(-pgid, SIGCONT) != 0 && errno != ESRCH) return false;
    return true;
}

// The child's raw wait status, or -1 with errno. Without time-out a blocking wait;
// with one, a look every 100 ms until the deadline, then either the child's group
// is killed every 10 ms until it ends, or the wait gives up with ETIMEDOUT.
int poll_child(pid_t pid, uint64_t start_ns, int timeout_ms, AtDeadline at_deadline) {
    int status = 0;
    if (timeout_ms < 0) {
        while (waitpid(pid, &status, 0) < 0) {
            if (errno != EINTR) return -1;
        }
        return status;
    }
    uint64_t deadline = start_ns + static_cast<uint64_t>(timeout_ms) * 1000000ULL;
    for (;;) {
        pid_t rc = waitpid(pid, &status, WNOHANG);
        if (rc < 0) return -1;
        if (rc == pid) return status;
        if (rc != 0) {
            errno = EACCES;
            return -1;
        }
        if (monotonic_ns() < deadline) {
            sleep_ms(100);
            continue;
        }
        if (at_deadline == AtDeadline::kGiveUp) {
            errno = ETIMEDOUT;
            return -1;
        }
        if (!kill_group(pid)) return -1;
        sleep_ms(10);
    }
}

int wait_child(pid_t pid, bool leads_group, uint64_t start_ns, int timeout_ms) {
    ReapOnUnwind reaper(pid, leads_group);
    int rc = poll_child(pid, start_ns, timeout_ms, AtDeadline::kKillGroup);
    reaper.disarm();
    return rc;
}

// Body of the intermediate child of run_shell_command_detached: runs the shell and
// reports its wait status, or minus an error number, as 4 bytes through report_fd.
[[noreturn]] void report_shell(const char* command, uint64_t start_ns, int timeout_ms,
                               int report_fd) {
    reset_signals();
    int32_t value;
    pid_t shell = start_shell(command, false);
    if (shell < 0) {
        value = spawn_made_no_process(errno) ? -errno : kShellNotRunStatus;
    } else {
        value = poll_child(shell, start_ns, timeout_ms, AtDeadline::kGiveUp);
        if (value < 0) value = -errno;
    }
    _exit(write_fd(report_fd, &value, sizeof value) == sizeof value ? 0 : 1);
}

}  // namespace

int run_shell_command(const char* command, int32_t timeout_ms) {
    if (!command) return 1;
    // Without time-out like system(), but without making the whole caller ignore
    // SIGINT and SIGQUIT while the command runs; with one the shell leads a group.
    const bool timed = timeout_ms >= 0;
    uint64_t start = monotonic_ns();
    pid_t pid = start_shell(command, timed);
    if (pid < 0) return spawn_made_no_process(errno) ? -1 : kShellNotRunStatus;
    return wait_child(pid, timed, start, timeout_ms);
}

int run_shell_command_detached(const char* command, int timeout_ms) {
    if (!command) return 1;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    uint64_t start = monotonic_ns();
    pid_t pid = fork_quiet();
    if (pid == 0) {
        close(fds[0]);
        report_shell(command, start, timeout_ms, fds[1]);
    }
    int saved = errno;
    close_fd(fds[1]);
    if (pid < 0) {
        close_fd(fds[0]);
        errno = saved;
        return -1;
    }
    int32_t value = 0;
    ssize_t got;
    {
        ReapOnUnwind reaper(pid, false);
        got = read_all(fds[0], &value, sizeof value, -1);
        wait_child(pid, false, 0, -1);
        reaper.disarm();
    }
    close_fd(fds[0]);
    if (got != static_cast<ssize_t>(sizeof value)) {
        errno = EIO;
        return -1;
    }
    if (value < 0) {
        errno = -value;
        return -1;
    }
    return value;
}

int open_shell_command(const char* command, ShellCommand** handle) {
    if (!command || !handle) {
        errno = EINVAL;
        return -1;
    }
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return -1;
    ShellCommand* shell = new (std::nothrow) ShellCommand;
    ShellSetup setup;
    setup.new_group = true;
    setup.stdio_fd = pair[1];
    pid_t pid = shell ? spawn_shell(command, setup) : -1;
    int saved = shell ? errno : ENOMEM;
    close_fd(pair[1]);
    if (pid < 0) {
        close_fd(pair[0]);
        delete shell;
        errno = saved;
        return -1;
    }
    shell->fd = pair[0];
    shell->pid = pid;
    *handle = shell;
    return pair[0];
}

int close_shell_command(ShellCommand* handle, int timeout_ms) {
    if (!handle) {
        errno = EINVAL;
        return -1;
    }
    pid_t pid = handle->pid;
    close_fd(handle->fd);
    delete handle;
    if (pid <= 0) {
        errno = EINVAL;
        return -1;
    }
    if (timeout_ms < 0) return wait_child(pid, true, 0, -1) < 0 ? -1 : 0;
    return wait_child(pid, true, monotonic_ns(), timeout_ms);
}

}  // namespace corvel
