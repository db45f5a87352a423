// Helpers shared by the tests: temporary directories, polling with a deadline,
// file access and killing what a test started, by pid.
#pragma once

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testutil {

// A fresh directory under /tmp, removed with everything in it when the object dies.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/tendwell-test-XXXXXX";
        char* p = mkdtemp(tmpl);
        path_ = p ? p : "";
    }
    ~TempDir() {
        if (!path_.empty()) {
            std::string cmd = "rm -rf '" + path_ + "'";
            if (system(cmd.c_str()) != 0) {
            }
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Polls pred every few milliseconds until it holds or the deadline passes.
inline bool WaitFor(const std::function<bool()>& pred, int timeout_ms, int step_ms = 5) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
    }
}

// What the file holds, or as much as could be read: "" when it cannot be opened.
// Plain read(2), as a /proc file of a process that ends meanwhile fails with ESRCH,
// which a stream would raise as an exception.
inline std::string ReadFile(const std::string& path) {
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return text;
}

// True while pid exists and is not a zombie.
inline bool PidAlive(pid_t pid) {
    if (pid <= 0) return false;
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) return false;
    char state = stat[close + 2];
    return state != 'Z' && state != 'X';
}

// The value of one "Name:" line of /proc/<pid>/status.
inline std::string StatusLine(pid_t pid, const std::string& name) {
    std::istringstream in(ReadFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, name.size() + 1, name + ":") == 0) {
            size_t value = line.find_first_not_of(" \t", name.size() + 1);
            return value == std::string::npos ? "" : line.substr(value);
        }
    }
    return "";
}

// Pids of the live processes whose parent and process group satisfy pred.
inline std::set<pid_t> LiveProcesses(const std::function<bool(pid_t ppid, pid_t pgrp)>& pred) {
    std::set<pid_t> out;
    DIR* d = opendir("/proc");
    if (!d) return out;
    while (struct dirent* e = readdir(d)) {
        pid_t pid = atoi(e->d_name);
        if (pid <= 0) continue;
        std::string stat = ReadFile(std::string("/proc/") + e->d_name + "/stat");
        size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(stat.substr(close + 2));
        char state = 0;
        pid_t ppid = 0, pgrp = 0;
        rest >> state >> ppid >> pgrp;
        if (state != 'Z' && state != 'X' && pred(ppid, pgrp)) out.insert(pid);
    }
    closedir(d);
    return out;
}

// Pids of the live members of process group pgid.
inline std::set<pid_t> GroupMembers(pid_t pgid) {
    return LiveProcesses([pgid](pid_t, pid_t pgrp) { return pgrp == pgid; });
}

// Live children of parent, whatever their process group.
inline std::set<pid_t> ChildrenOf(pid_t parent) {
    return LiveProcesses([parent](pid_t ppid, pid_t) { return ppid == parent; });
}

// Numbers of the open descriptors of pid.
inline std::set<int> OpenFds(pid_t pid) {
    std::set<int> fds;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return fds;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') fds.insert(atoi(e->d_name));
    }
    closedir(d);
    return fds;
}

inline std::string FdTarget(pid_t pid, int fd) {
    char target[PATH_MAX] = {};
    std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : "";
}

inline bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

// A Unix-domain socket listening at path; -1 when none can be made.
inline int ListenUnix(const std::string& path) {
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) return -1;
    path.copy(addr.sun_path, path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0 ||
                    listen(fd, 8) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

inline bool FileExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Kills, when it dies, each process it was given and the process group that process
// leads, but only while that process has not been reaped: pid numbers come back into
// use within seconds on a busy machine, so a pid alone may by then name another
// test's process, while a pidfd names the process itself. Never kills by name.
class PidReaper {
public:
    PidReaper() = default;
    PidReaper(const PidReaper&) = delete;
    PidReaper& operator=(const PidReaper&) = delete;
    ~PidReaper() {
        for (const auto& entry : entries_) {
            const pid_t pid = entry.first;
            const int fd = entry.second;
            // Signal 0 succeeds while the process exists, alive or a zombie: its
            // pid, and a group of that id, are then still its own.
            if (syscall(SYS_pidfd_send_signal, fd, 0, nullptr, 0) == 0) {
                if (getpgid(pid) == pid) kill(-pid, SIGKILL);
                syscall(SYS_pidfd_send_signal, fd, SIGKILL, nullptr, 0);
                waitpid(pid, nullptr, WNOHANG);
            }
            close(fd);
        }
    }

    // To be called while pid still names the process meant: before anything could
    // have reaped it.
    void Add(pid_t pid) {
        if (pid <= 1) return;
        const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        if (fd >= 0) entries_.emplace_back(pid, fd);
    }

private:
    std::vector<std::pair<pid_t, int>> entries_;
};

// A child of this process at pid, which must be free, sleeping in a group of its own:
// a stranger that takes the pid of a process that has ended. -1 where this process may
// not choose the pid (clone3 with set_tid needs CAP_SYS_ADMIN) or it is taken.
inline pid_t SleeperAt(pid_t pid) {
    // struct clone_args of <linux/sched.h>, which clashes with <sched.h>.
    struct {
        uint64_t flags, pidfd, child_tid, parent_tid, exit_signal, stack, stack_size, tls,
            set_tid, set_tid_size;
    } args = {};
    args.exit_signal = SIGCHLD;
    args.set_tid = reinterpret_cast<uintptr_t>(&pid);
    args.set_tid_size = 1;
    const long child = syscall(SYS_clone3, &args, sizeof(args));
    if (child == 0) {
        // Raw calls only: the copy of a threaded process.
        static char sleep[] = "/bin/sleep";
        static char seconds[] = "1000";
        char* argv[] = {sleep, seconds, nullptr};
        char* envp[] = {nullptr};
        syscall(SYS_setpgid, 0, 0);
        syscall(SYS_execve, sleep, argv, envp);
        syscall(SYS_exit, 127);
    }
    if (child > 0) setpgid(static_cast<pid_t>(child), static_cast<pid_t>(child));
    return child > 0 ? static_cast<pid_t>(child) : -1;
}

// Makes this process reap orphans of its descendants (PID 1 here does not).
inline void BecomeSubreaper() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

// Exit status of a forked child, or 128 plus the signal that ended it.
inline int WaitStatusOf(pid_t child) {
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Statuses of RunInChild and RunAs: the body threw, the child could not become
// the user.
constexpr int kThrew = 78;
constexpr int kCannotBecomeUser = 77;

// Runs body in a forked child and returns the child's exit status (see
// WaitStatusOf). To be called while this process has no other thread.
inline int RunInChild(const std::function<int()>& body) {
    pid_t child = fork();
    if (child == 0) {
        // _exit: no leak check, which would need a thread of its own. Nothing
        // thrown may reach the test framework, which would go on in the child.
        try {
            _exit(body());
        } catch (...) {
            _exit(kThrew);
        }
    }
    return child < 0 ? -1 : WaitStatusOf(child);
}

// RunInChild as user uid, whom the kernel holds to processes processes and threads
// (root it does not). A uid of its own per test: tests run side by side.
inline int RunAs(uid_t uid, rlim_t processes, const std::function<int()>& body) {
    return RunInChild([&] {
        struct rlimit limit = {processes, processes};
        if (setrlimit(RLIMIT_NPROC, &limit) != 0 || setgroups(0, nullptr) != 0 ||
            setgid(uid) != 0 || setuid(uid) != 0) {
            return kCannotBecomeUser;
        }
        return body();
    });
}

// Kills and reaps, by pid, what descendants of this subreaper left behind.
inline void EndOrphans() {
    WaitFor(
        [] {
            for (pid_t pid : ChildrenOf(getpid())) kill(pid, SIGKILL);
            while (waitpid(-1, nullptr, WNOHANG) > 0) {
            }
            return ChildrenOf(getpid()).empty();
        },
        5000);
}

}  // namespace testutil
