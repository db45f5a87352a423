#include "corvel/spawn.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <new>

extern char** environ;
// glibc's clone under the other name it exports: a sanitizer that intercepts clone
// assumes a child that runs while its caller waits.
extern "C" int __clone(int (*fn)(void*), void* stack, int flags, void* arg, ...);

#if !defined(__x86_64__)
#error "the child's set-up makes its system calls itself, written for x86-64"
#endif

namespace corvel {

namespace {

// The child calls nothing but the kernel: a few hundred bytes of stack.
constexpr size_t kChildStackBytes = 16 * 1024;
// Signals are numbered 1 to 64; the kernel's signal sets take 8 bytes.
constexpr long kSignals = 64;
constexpr long kSigsetBytes = 8;
// The byte that lets a shell at its gate go on.
constexpr char kGo = 1;

// The soft descriptor limit children get back; RLIM_INFINITY until
// raise_fd_limit is called.
std::atomic<rlim_t> g_children_fd_soft{RLIM_INFINITY};

// The kernel's own layout for rt_sigaction.
struct KernelSigaction {
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)();
    uint64_t mask;
};

// Everything the child reads, prepared by the parent. The child shares the
// parent's memory and the TLS of the thread that made it, so it calls no library
// function (errno, a sanitizer's state or a signal handler of the parent's could
// be touched) and writes only its own stack and error.
struct ChildPlan {
    char* const* argv;
    char* const* envp;
    // The child's end of the gate, or -1.
    int gate_fd;
    int stdio_fd;
    bool new_group;
    bool null_stdio;
    bool set_fd_limit;
    struct rlimit fd_limit;
    // The highest descriptor to close should close_range be missing.
    long fd_ceiling;
    // All zero: SIG_DFL, and the empty signal set.
    KernelSigaction default_action;
    uint64_t no_signals;
    // Why the shell could not be run, for a parent that waits for the exec.
    int error;
};

template <class T>
long as_arg(T* pointer) {
    return reinterpret_cast<long>(pointer);
}

// A system call without the library: the result, or minus the error number.
[[gnu::always_inline]] inline long raw_syscall(long number, long a = 0, long b = 0, long c = 0,
                                               long d = 0) {
    long result;
    register long r10 __asm__("r10") = d;
    __asm__ volatile("syscall"
                     : "=a"(result)
                     : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10)
                     : "rcx", "r11", "memory");
    return result;
}

[[noreturn, gnu::always_inline]] inline void child_exit(int code) {
    for (;;) raw_syscall(SYS_exit_group, code);
}

[[gnu::always_inline]] inline long close_span(long first, long last, long ceiling) {
    if (first > last) return 0;
    long rc = raw_syscall(SYS_close_range, first, last, 0);
    if (rc != -ENOSYS) return rc;
    for (long fd = first; fd <= last && fd < ceiling; ++fd) raw_syscall(SYS_close, fd);
    return 0;
}

// Every descriptor but the gate closed, then "/dev/null" on 0 to 2.
[[gnu::always_inline]] inline long null_stdio(int gate, long ceiling) {
    long rc = gate < 0 ? close_span(0, INT_MAX, ceiling)
                       : close_span(0, gate - 1, ceiling);
    if (rc == 0 && gate >= 0) rc = close_span(gate + 1, INT_MAX, ceiling);
    for (long fd = 0; rc == 0 && fd <= 2; ++fd) {
        // With everything closed each open takes the lowest number, its own.
        long got = raw_syscall(SYS_openat, AT_FDCWD, as_arg("/dev/null"),
                               fd == 0 ? O_RDONLY : O_WRONLY, 0);
        if (got != fd) rc = got < 0 ? got : -EBADF;
    }
    return rc;
}

[[gnu::always_inline]] inline long onto_stdio(int stdio_fd) {
    long rc = 0;
    for (long fd = 0; rc == 0 && fd <= 2; ++fd) {
        // Onto itself, the descriptor only loses its close-on-exec flag.
        rc = stdio_fd == fd ? raw_syscall(SYS_fcntl, fd, F_SETFD, 0)
                            : raw_syscall(SYS_dup2, stdio_fd, fd);
        if (rc > 0) rc = 0;
    }
    return rc;
}

// The child: default signal dispositions, its group, the descriptor limit and
// its descriptors; then, at a gate, it waits for the go; then the shell. It
// starts with every signal blocked, so no handler of the parent's can run in it.
[[gnu::noinline, gnu::no_sanitize("address", "thread", "undefined")]] int child_main(void* arg) {
    ChildPlan* plan = static_cast<ChildPlan*>(arg);
    for (long sig = 1; sig <= kSignals; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP) continue;
        raw_syscall(SYS_rt_sigaction, sig, as_arg(&plan->default_action), 0, kSigsetBytes);
    }
    long rc = plan->new_group ? raw_syscall(SYS_setpgid, 0, 0) : 0;
    // A limit that cannot be set back leaves the child the raised one.
    if (plan->set_fd_limit) raw_syscall(SYS_prlimit64, 0, RLIMIT_NOFILE, as_arg(&plan->fd_limit), 0);
    int gate = plan->gate_fd;
    // The standard streams are made below: the gate moves out of their way.
    if (rc == 0 && gate >= 0 && gate <= 2) {
        rc = raw_syscall(SYS_fcntl, gate, F_DUPFD_CLOEXEC, 3);
        gate = static_cast<int>(rc);
        if (rc > 0) rc = 0;
    }
    if (rc == 0 && plan->null_stdio) {
        rc = null_stdio(gate, plan->fd_ceiling);
    } else if (rc == 0 && plan->stdio_fd >= 0) {
        rc = onto_stdio(plan->stdio_fd);
    }
    if (rc == 0) {
        rc = raw_syscall(SYS_rt_sigprocmask, SIG_SETMASK, as_arg(&plan->no_signals), 0,
                         kSigsetBytes);
    }
    if (rc == 0 && gate >= 0) {
        // The gate closes on exec. Anything but the go, also the end of whoever
        // held the gate, and nothing runs.
        char go = 0;
        long got;
        do {
            got = raw_syscall(SYS_read, gate, as_arg(&go), 1);
        } while (got == -EINTR);
        if (got != 1 || go != kGo) child_exit(0);
    }
    if (rc == 0) rc = raw_syscall(SYS_execve, as_arg("/bin/sh"), as_arg(plan->argv), as_arg(plan->envp));
    plan->error = static_cast<int>(-rc);
    child_exit(127);
}

// Lays out in one mapping the child's stack, its plan and copies of its arguments
// and of the environment, which a child at its gate uses long after its start
// returned. Null with errno when there is no memory for it.
ChildPlan* make_block(const char* command, const ShellSetup& setup, int gate_fd, void** block,
                      size_t* size) {
    size_t env_count = 0;
    size_t env_bytes = 0;
    for (char** env = environ; env != nullptr && *env != nullptr; ++env) {
        ++env_count;
        env_bytes += strlen(*env) + 1;
    }
    const size_t command_bytes = strlen(command) + 1;
    constexpr size_t kArgs = 5;
    const size_t pointers = (kArgs + env_count + 1) * sizeof(char*);
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t wanted = kChildStackBytes + sizeof(ChildPlan) + pointers + command_bytes + env_bytes;
    *size = (wanted + page - 1) / page * page;
    *block = mmap(nullptr, *size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK,
                  -1, 0);
    if (*block == MAP_FAILED) return nullptr;

    char* at = static_cast<char*>(*block) + kChildStackBytes;
    ChildPlan* plan = new (at) ChildPlan();
    at += sizeof(ChildPlan);
    char** argv = reinterpret_cast<char**>(at);
    char** envp = argv + kArgs;
    at += pointers;
    char* command_copy = at;
    memcpy(command_copy, command, command_bytes);
    at += command_bytes;
    for (size_t i = 0; i < env_count; ++i) {
        const size_t bytes = strlen(environ[i]) + 1;
        memcpy(at, environ[i], bytes);
        envp[i] = at;
        at += bytes;
    }
    envp[env_count] = nullptr;
    size_t arg = 0;
    argv[arg++] = const_cast<char*>(setup.login ? "/bin/sh" : "sh");
    if (setup.login) argv[arg++] = const_cast<char*>("-l");
    argv[arg++] = const_cast<char*>("-c");
    argv[arg++] = command_copy;
    argv[arg] = nullptr;

    plan->argv = argv;
    plan->envp = envp;
    plan->gate_fd = gate_fd;
    plan->stdio_fd = setup.stdio_fd;
    plan->new_group = setup.new_group;
    plan->null_stdio = setup.null_stdio;
    struct rlimit now;
    if (getrlimit(RLIMIT_NOFILE, &now) != 0) now.rlim_cur = now.rlim_max = INT_MAX;
    plan->fd_ceiling = now.rlim_cur > INT_MAX ? INT_MAX : static_cast<long>(now.rlim_cur);
    const rlim_t soft = g_children_fd_soft.load(std::memory_order_relaxed);
    plan->set_fd_limit = soft != RLIM_INFINITY && soft != now.rlim_cur;
    plan->fd_limit.rlim_cur = soft < now.rlim_max ? soft : now.rlim_max;
    plan->fd_limit.rlim_max = now.rlim_max;
    return plan;
}

// Makes the child with every signal blocked; with wait_exec the caller's thread
// stays suspended until the child has run the shell or ended.
pid_t clone_child(ChildPlan* plan, void* block, bool wait_exec) {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    const int flags = CLONE_VM | SIGCHLD | (wait_exec ? CLONE_VFORK : 0);
    pid_t pid = __clone(child_main, static_cast<char*>(block) + kChildStackBytes, flags, plan);
    int saved = errno;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = saved;
    return pid;
}

}  // namespace

pid_t spawn_shell(const char* command, const ShellSetup& setup) {
    void* block;
    size_t size;
    ChildPlan* plan = make_block(command, setup, -1, &block, &size);
    if (plan == nullptr) return -1;
    pid_t pid = clone_child(plan, block, true);
    const int error = pid < 0 ? errno : plan->error;
    munmap(block, size);
    if (pid >= 0 && error != 0) {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        pid = -1;
    }
    if (pid < 0) errno = error;
    return pid;
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
    // SIGPIPE.
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return -1;
    void* block;
    size_t size;
    ChildPlan* plan = make_block(command, setup, pair[1], &block, &size);
    pid_t pid = plan != nullptr ? clone_child(plan, block, false) : -1;
    const int error = errno;
    close(pair[1]);
    if (pid < 0) {
        if (plan != nullptr) munmap(block, size);
        close(pair[0]);
        errno = error;
        return -1;
    }
    // The child makes its group too, but this returns first: whichever comes first,
    // the group exists before anyone could signal it.
    if (setup.new_group) setpgid(pid, pid);
    block_ = block;
    block_size_ = size;
    fd_ = pair[0];
    pid_ = pid;
    held_ = true;
    return pid;
}

void ShellGate::release() {
    if (!held_) return;
    held_ = false;
    send(fd_, &kGo, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
}

void ShellGate::refuse() {
    if (!held_) return;
    held_ = false;
    kill(pid_, SIGKILL);
}

bool ShellGate::settle(bool wait) {
    if (fd_ < 0) return true;
    // The other end closes on the child's exec or end, once every copy another
    // child took of it meanwhile has gone too.
    struct pollfd gate = {fd_, 0, 0};
    while (poll(&gate, 1, wait ? -1 : 0) < 0 && errno == EINTR) {
    }
    if ((gate.revents & (POLLHUP | POLLERR)) == 0) return false;
    munmap(block_, block_size_);
    close(fd_);
    block_ = nullptr;
    fd_ = -1;
    held_ = false;
    return true;
}

}  // namespace corvel
