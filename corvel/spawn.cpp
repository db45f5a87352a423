#include "corvel/spawn.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <charconv>

#include "gate/gate_command.h"

extern char** environ;

#ifndef MFD_EXEC
// From Linux 6.3: the memory file may be run, whatever vm.memfd_noexec makes the
// default.
#define MFD_EXEC 0x0010U
#endif

namespace corvel {

namespace {

// The soft descriptor limit children get back; RLIM_INFINITY until
// raise_fd_limit is called.
std::atomic<rlim_t> g_children_fd_soft{RLIM_INFINITY};
// This process's descriptor of the gate program, -1 until one is set, and the
// program's file name, its processes' name.
std::atomic<int> g_gate_program{-1};
char g_gate_name[NAME_MAX + 1];

// posix_spawn's attributes and file actions, released with the object.
class SpawnPlan {
public:
    SpawnPlan() {
        error_ = posix_spawnattr_init(&attr_);
        if (error_ == 0) error_ = posix_spawn_file_actions_init(&actions_);
    }
    ~SpawnPlan() {
        posix_spawn_file_actions_destroy(&actions_);
        posix_spawnattr_destroy(&attr_);
    }
    SpawnPlan(const SpawnPlan&) = delete;
    SpawnPlan& operator=(const SpawnPlan&) = delete;

    // Default dispositions for every signal and an empty mask; the process group.
    void Signals(bool new_group) {
        // sigfillset leaves out the C library's own signals, which the child would
        // then inherit as ignored.
        sigset_t every;
        memset(&every, 0xff, sizeof(every));
        sigset_t none;
        sigemptyset(&none);
        short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
        if (new_group) flags |= POSIX_SPAWN_SETPGROUP;
        Check(posix_spawnattr_setsigdefault(&attr_, &every));
        Check(posix_spawnattr_setsigmask(&attr_, &none));
        Check(posix_spawnattr_setpgroup(&attr_, 0));
        Check(posix_spawnattr_setflags(&attr_, flags));
    }
    // "/dev/null" on 0 to 2.
    void NullStdio() {
        for (int fd = 0; fd <= 2; ++fd) {
            Check(posix_spawn_file_actions_addopen(&actions_, fd, "/dev/null",
                                                   fd == 0 ? O_RDONLY : O_WRONLY, 0));
        }
    }
    // from onto descriptor to; onto itself it only loses its close-on-exec flag.
    void Dup(int from, int to) { Check(posix_spawn_file_actions_adddup2(&actions_, from, to)); }
    // The pid, or -1 with errno.
    pid_t Spawn(const char* path, char* const argv[]) {
        pid_t pid = -1;
        if (error_ == 0) error_ = posix_spawn(&pid, path, &actions_, &attr_, argv, environ);
        if (error_ == 0) return pid;
        errno = error_;
        return -1;
    }

private:
    void Check(int error) {
        if (error_ == 0) error_ = error;
    }

    posix_spawnattr_t attr_;
    posix_spawn_file_actions_t actions_;
    int error_ = 0;
};

// Starts the shell, at the gate gate_fd unless it is -1; its pid, or -1 with
// errno. Through the gate program when the shell needs what posix_spawn cannot
// give it: a gate, every other descriptor closed, or a descriptor limit set back.
pid_t spawn(const char* command, const ShellSetup& setup, int gate_fd) {
    struct rlimit now;
    if (getrlimit(RLIMIT_NOFILE, &now) != 0) return -1;
    const rlim_t soft = g_children_fd_soft.load(std::memory_order_relaxed);
    const bool set_limit = soft != RLIM_INFINITY && soft != now.rlim_cur;
    const bool through_gate = gate_fd >= 0 || setup.null_stdio || set_limit;
    const int program = g_gate_program.load(std::memory_order_relaxed);
    if (through_gate && program < 0) {
        errno = ENOENT;
        return -1;
    }
    char path[32];
    char limit[24];
    char* argv[9];
    int arg = 0;
    if (through_gate) {
        // Not snprintf: its frame alone would take another page of every runner
        // thread's stack, a thousand threads over.
        static constexpr char kFdDir[] = "/proc/self/fd/";
        memcpy(path, kFdDir, sizeof(kFdDir) - 1);
        *std::to_chars(path + sizeof(kFdDir) - 1, path + sizeof(path) - 1, program).ptr = '\0';
        *std::to_chars(limit, limit + sizeof(limit) - 1, soft).ptr = '\0';
        argv[arg++] = g_gate_name;
        argv[arg++] = const_cast<char*>(gate_fd >= 0 ? gate::kHold : gate::kNone);
        argv[arg++] = set_limit ? limit : const_cast<char*>(gate::kNone);
        const char* close_from = !setup.null_stdio ? gate::kNone : gate_fd >= 0 ? "4" : "3";
        argv[arg++] = const_cast<char*>(close_from);
    }
    argv[arg++] = const_cast<char*>(setup.login ? gate::kShell : "sh");
    if (setup.login) argv[arg++] = const_cast<char*>("-l");
    argv[arg++] = const_cast<char*>("-c");
    argv[arg++] = const_cast<char*>(command);
    argv[arg] = nullptr;

    SpawnPlan plan;
    plan.Signals(setup.new_group);
    if (setup.null_stdio) {
        plan.NullStdio();
    } else if (setup.stdio_fd >= 0) {
        for (int fd = 0; fd <= 2; ++fd) plan.Dup(setup.stdio_fd, fd);
    }
    // After the standard streams, which gate_fd, above them, cannot be.
    if (gate_fd >= 0) plan.Dup(gate_fd, gate::kGateFd);
    return plan.Spawn(through_gate ? path : gate::kShell, argv);
}

// fd, or a copy of it above the descriptors a start sets up (fd is then closed);
// close-on-exec either way. -1 with errno when fd is, or cannot be moved.
int AboveStartFds(int fd) {
    if (fd < 0 || fd > gate::kGateFd) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, gate::kGateFd + 1);
    const int error = errno;
    close(fd);
    errno = error;
    return moved;
}

// 0 when the file open at fd is a regular file this process may run, else an
// errno. Judged by the descriptor, through its link in /proc: a path may name
// another file by now.
int Runnable(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return EACCES;
    char link[32];
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    return access(link, X_OK) == 0 ? 0 : errno;
}

// A copy in memory, named name, of the file open at fd, sealed against any change
// and runnable, above the descriptors a start sets up: its descriptor, or -1 with
// errno.
int SealedCopy(int fd, const char* name) {
    constexpr unsigned kFlags = MFD_CLOEXEC | MFD_ALLOW_SEALING;
    int copy = memfd_create(name, kFlags | MFD_EXEC);
    // Kernels before 6.3 know no MFD_EXEC; their memory files may be run.
    if (copy < 0 && errno == EINVAL) copy = memfd_create(name, kFlags);
    copy = AboveStartFds(copy);
    if (copy < 0) return -1;
    ssize_t sent;
    do {
        sent = sendfile(copy, fd, nullptr, 1 << 30);
    } while (sent > 0 || (sent < 0 && errno == EINTR));
    int error = sent < 0 ? errno : 0;
    if (error == 0 &&
        fcntl(copy, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
        error = errno;
    }
    // Where memory files cannot be run (a noexec mount, a security module).
    if (error == 0) error = Runnable(copy);
    if (error == 0) return copy;
    close(copy);
    errno = error;
    return -1;
}

}  // namespace

bool use_gate_program(const char* path, GateUncopied* uncopied) {
    // Readable, for the copy; a file this process may run but not read is opened
    // for running alone. Above the descriptors a start sets up, and closed in every
    // child.
    int file = open(path, O_RDONLY | O_CLOEXEC);
    const bool unreadable = file < 0 && errno == EACCES;
    if (unreadable) file = open(path, O_PATH | O_CLOEXEC);
    file = AboveStartFds(file);
    if (file < 0) return false;
    const int error = Runnable(file);
    if (error != 0) {
        close(file);
        errno = error;
        return false;
    }
    const char* slash = strrchr(path, '/');
    snprintf(g_gate_name, sizeof(g_gate_name), "%s", slash != nullptr ? slash + 1 : path);
    // What is run is the file checked here: one written over in place, as cp does,
    // would change every later start. Where there is no copy, the opened file is
    // run itself.
    int program = unreadable ? -1 : SealedCopy(file, g_gate_name);
    const int copy_error = unreadable ? EACCES : program < 0 ? errno : 0;
    if (program >= 0) {
        close(file);
    } else {
        program = file;
    }
    if (uncopied != nullptr) *uncopied = {copy_error, unreadable};
    const int old = g_gate_program.exchange(program);
    if (old >= 0) close(old);
    return true;
}

pid_t spawn_shell(const char* command, const ShellSetup& setup) {
    return spawn(command, setup, -1);
}

bool spawn_made_no_process(int error) {
    return error == EAGAIN || error == ENOMEM || error == EMFILE || error == ENFILE;
}

int raise_fd_limit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
    rlim_t unset = RLIM_INFINITY;
    g_children_fd_soft.compare_exchange_strong(unset, limit.rlim_cur);
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
    }
    return limit.rlim_cur > INT_MAX ? INT_MAX : static_cast<int>(limit.rlim_cur);
}

ShellGate::~ShellGate() {
    if (fd_ < 0) return;
    const bool was_held = held_;
    refuse();
    settle(true);
    if (was_held) {
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

pid_t ShellGate::start(const char* command, const ShellSetup& setup) {
    if (fd_ >= 0) {
        errno = EBUSY;
        return -1;
    }
    // A socket rather than a pipe: a go sent to a shell already gone raises no
    // SIGPIPE. Both ends close on exec: the gate program has its own on
    // descriptor 3 alone, so the end of this process ends its wait.
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return -1;
    // The child's end above the standard streams, which its set-up replaces.
    if (pair[1] <= 2) {
        const int moved = fcntl(pair[1], F_DUPFD_CLOEXEC, 3);
        close(pair[1]);
        pair[1] = moved;
    }
    const pid_t pid = pair[1] >= 0 ? spawn(command, setup, pair[1]) : -1;
    const int error = errno;
    if (pair[1] >= 0) close(pair[1]);
    if (pid < 0) {
        close(pair[0]);
        errno = error;
        return -1;
    }
    fd_ = pair[0];
    pid_ = pid;
    held_ = true;
    return pid;
}

void ShellGate::release() {
    if (!held_) return;
    held_ = false;
    send(fd_, &gate::kGo, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
}

void ShellGate::refuse() {
    if (!held_) return;
    held_ = false;
    kill(pid_, SIGKILL);
}

bool ShellGate::settle(bool wait) {
    if (fd_ < 0) return true;
    // The gate program's end closes when it runs the shell or ends, once every
    // copy a child forked meanwhile took of it has gone too.
    struct pollfd gate = {fd_, 0, 0};
    while (poll(&gate, 1, wait ? -1 : 0) < 0 && errno == EINTR) {
    }
    if ((gate.revents & (POLLHUP | POLLERR)) == 0) return false;
    close(fd_);
    fd_ = -1;
    held_ = false;
    return true;
}

}  // namespace corvel
