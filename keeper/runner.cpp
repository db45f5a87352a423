// The runner: starts one kept process and watches it on a pool thread. Pid mode
// spawns the command and waits for it, adoption watches a process an earlier daemon
// started through the identity check, check mode runs a check command in a loop.
#include "runner.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include "corvel/clock.h"
#include "corvel/fd_io.h"
#include "corvel/shell.h"
#include "corvel/spawn.h"
#include "keeper/pid_fd.h"
#include "keeper/proc_stat.h"
#include "keeper/process_keeper.h"
#include "process_group.h"

namespace tendwell {

namespace {

// The exit status recorded when no process could be made for a start.
constexpr int32_t kStartFailedStatus = 170;
// An adopted process's identity is checked this often where the kernel has no
// process descriptors.
constexpr int kAdoptCheckMs = 2000;
// How often a wait looks again where no event can wake it.
constexpr int kLookMs = 10;

// A descriptor of the recorded process when it is the one at its pid; -1 otherwise,
// or where the kernel has none.
int OpenVerified(const ProcessKeeper::Process& process) {
    const int fd = OpenPidFd(process.pid);
    // Opened before the check: a process that took the pid after the recorded one
    // ended started later, so a check that passes makes the descriptor the recorded
    // process's.
    if (fd >= 0 && !ProcessKeeper::Verify(process)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Makes the event descriptor fd, unless it is -1, readable.
void Post(int fd) {
    if (fd < 0) return;
    const uint64_t one = 1;
    corvel::write_fd(fd, &one, sizeof(one));
}

// The raw wait status that waitpid would give for the end info describes.
int32_t WaitStatus(const siginfo_t& info) {
    switch (info.si_code) {
    case CLD_EXITED:
        return (info.si_status & 0xff) << 8;
    case CLD_KILLED:
        return info.si_status & 0x7f;
    case CLD_DUMPED:
        return (info.si_status & 0x7f) | 0x80;
    default:
        return -1;
    }
}

}  // namespace

ProcessKeeper::Runner::Runner(const Process& process, int changed_fd, int quit_fd,
                              ExitSink exited)
    : process_(process),
      quit_fd_(quit_fd),
      changed_fd_(changed_fd),
      exited_(std::move(exited)) {}

ProcessKeeper::Runner::~Runner() {
    if (wake_fd_ >= 0) close(wake_fd_);
    if (adopted_fd_ >= 0) close(adopted_fd_);
}

int ProcessKeeper::Runner::run() {
    // Cleared also when the thread is cancelled and unwinds through here; a Start
    // waiting to hand the runner over again is woken. A runner no longer busy may be
    // deleted at once: the wake-up goes to the keeper's descriptor, read before.
    struct BusyGuard {
        Runner* runner;
        ~BusyGuard() {
            const int changed_fd = runner->changed_fd_;
            runner->set_busy(false);
            Post(changed_fd);
        }
    } guard{this};
    const Process process = Snapshot();
    if (!process.command.empty()) {
        // Fixed at the hand-over: a Stop may already have marked the process ended.
        if (adopting()) {
            Adopt(process);
        } else {
            RunPidMode(process);
        }
    } else if (!process.start_command.empty() && !process.check_command.empty()) {
        RunCheckMode(process);
    }
    return 0;
}

void ProcessKeeper::Runner::RunPidMode(const Process& process) {
    SetState(PROCESS_STARTING, false);
    corvel::ShellSetup setup;
    setup.login = true;
    setup.new_group = true;
    setup.null_stdio = true;
    pid_t pid;
    int error;
    {
        corvel::MutexLockGuard guard(mutex_);
        refused_ = false;
        pid = gate_.start(process.command.c_str(), setup);
        error = pid < 0 ? errno : 0;
        start_error_ = error;
    }
    if (pid < 0) {
        SetEnded(corvel::spawn_made_no_process(error) ? kStartFailedStatus
                                                      : corvel::kShellNotRunStatus);
        return;
    }
    // Taken before this runner can reap the child: always the child's own.
    ProcStat stat;
    const uint64_t ticks = ReadProcStat(pid, &stat) ? stat.start_ticks : 0;
    const int64_t stamp = ProcStartTime(pid);
    Update([pid, stamp, ticks](Process& copy) {
        copy.pid = pid;
        copy.start_time_us = stamp;
        copy.start_ticks = ticks;
        copy.running = true;
        copy.status = PROCESS_RUNNING;
    });
    // Waits for the child's end without reaping it, and without blocking in the
    // wait, so that Quit can end it and leave the child running.
    int pid_fd = OpenPidFd(pid);
    siginfo_t info;
    int rc;
    for (;;) {
        info.si_pid = 0;
        rc = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0 || info.si_pid == pid) break;
        if (Pause(pid_fd, GateFd(), pid_fd >= 0 ? -1 : kLookMs)) {
            if (!Refuse()) {
                if (pid_fd >= 0) close(pid_fd);
                return;
            }
            // Never saved, so never to run: it ends here.
            do {
                rc = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
            } while (rc < 0 && errno == EINTR);
            break;
        }
        SettleGate(false);
        // One that descriptors ran short for, as a batch of starts may, is taken
        // at a later look: the child, unreaped, still has the pid.
        if (pid_fd < 0) pid_fd = OpenPidFd(pid);
    }
    if (pid_fd >= 0) close(pid_fd);
    bool refused;
    {
        corvel::MutexLockGuard guard(mutex_);
        refused = refused_;
    }
    // The end is reported at once; the run stays busy until the rest of the group
    // has ended, so no new start of this runner can overlap it.
    SetEnded(rc != 0 ? -1 : refused ? kStartFailedStatus : WaitStatus(info));
    SettleGate(true);
    // The leader is reaped there, and what it left running in its group ends with it.
    if (rc == 0) EndGroupRest(pid);
}

void ProcessKeeper::Runner::Adopt(const Process& process) {
    int fd;
    {
        // Closed only once this run has ended.
        corvel::MutexLockGuard guard(mutex_);
        fd = adopted_fd_;
    }
    // Its end shows on the descriptor at once; without one, only to an identity
    // check, or to a stop's, which then wakes this run.
    while (fd >= 0 ? !PidFdEnded(fd) : Verify(process)) {
        if (Pause(fd, -1, fd >= 0 ? -1 : kAdoptCheckMs)) return;
        if (Snapshot().status != PROCESS_RUNNING) break;
    }
    ReapEnded(process);
    Update([this](Process& copy) {
        adopting_ = false;
        copy.running = false;
        copy.status = PROCESS_STOPPED;
        copy.pid = -1;
    });
    ReportExit();
}

void ProcessKeeper::Runner::RunCheckMode(const Process& process) {
    const int32_t interval = process.check_interval_ms > INT32_MAX
                                 ? INT32_MAX
                                 : static_cast<int32_t>(process.check_interval_ms);
    if (RunCheck(process) != 0) {
        SetState(PROCESS_STARTING, false);
        corvel::run_shell_command(process.start_command.c_str(), -1);
    } else {
        SetState(PROCESS_RUNNING, true);
    }
    for (;;) {
        int result = RunCheck(process);
        if (result != 0) {
            SetEnded(result);
            return;
        }
        SetState(PROCESS_RUNNING, true);
        if (Pause(-1, -1, interval)) return;
    }
}

ProcessKeeper::Process ProcessKeeper::Runner::Snapshot() {
    corvel::MutexLockGuard guard(mutex_);
    return process_;
}

void ProcessKeeper::Runner::Reset(const Process& process) {
    corvel::MutexLockGuard guard(mutex_);
    process_ = process;
}

bool ProcessKeeper::Runner::busy() {
    corvel::MutexLockGuard guard(mutex_);
    return busy_;
}

void ProcessKeeper::Runner::set_busy(bool busy) {
    corvel::MutexLockGuard guard(mutex_);
    busy_ = busy;
    // Adopting from the hand-over on, before run has begun, so that Stop never
    // signals an adopted process without checking it first; the descriptor is taken
    // then, before anything can be signalled.
    adopting_ = busy && !process_.command.empty() && process_.status == PROCESS_RUNNING;
    if (adopted_fd_ >= 0) close(adopted_fd_);
    adopted_fd_ = adopting_ ? OpenVerified(process_) : -1;
    if (wake_fd_ >= 0) close(wake_fd_);
    wake_fd_ = adopting_ && adopted_fd_ < 0 ? eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
}

bool ProcessKeeper::Runner::adopting() {
    corvel::MutexLockGuard guard(mutex_);
    return adopting_;
}

bool ProcessKeeper::Runner::AdoptedEnded() {
    {
        corvel::MutexLockGuard guard(mutex_);
        if (!adopting_) return false;
        if (adopted_fd_ >= 0 ? !PidFdEnded(adopted_fd_) : Verify(process_)) return false;
        process_.running = false;
        process_.status = PROCESS_STOPPED;
    }
    Wake();
    return true;
}

int ProcessKeeper::Runner::AdoptedEndFd() {
    corvel::MutexLockGuard guard(mutex_);
    return adopting_ && adopted_fd_ >= 0 ? fcntl(adopted_fd_, F_DUPFD_CLOEXEC, 0) : -1;
}

bool ProcessKeeper::Runner::Signal(int signo) {
    corvel::MutexLockGuard guard(mutex_);
    // A spawned child is reaped only after its end is reported under this lock: while
    // it runs, its id is its own.
    if (!adopting_) return process_.status == PROCESS_RUNNING && SignalGroup(process_.pid, signo);
    if (adopted_fd_ >= 0) return SignalGroupOf(adopted_fd_, process_.pid, signo);
    return Verify(process_) && SignalGroup(process_.pid, signo);
}

void ProcessKeeper::Runner::Quit() {
    corvel::MutexLockGuard guard(mutex_);
    quit_ = true;
}

void ProcessKeeper::Runner::Release(pid_t pid) {
    corvel::MutexLockGuard guard(mutex_);
    if (gate_.held() && process_.pid == pid) gate_.release();
}

bool ProcessKeeper::Runner::Refuse() {
    corvel::MutexLockGuard guard(mutex_);
    if (!gate_.held()) return false;
    gate_.refuse();
    refused_ = true;
    return true;
}

int ProcessKeeper::Runner::start_error() {
    corvel::MutexLockGuard guard(mutex_);
    return start_error_;
}

int ProcessKeeper::Runner::GateFd() {
    corvel::MutexLockGuard guard(mutex_);
    return gate_.fd();
}

void ProcessKeeper::Runner::SettleGate(bool wait) {
    // Only this thread closes the descriptor: it may wait on it unlocked.
    const int fd = wait ? GateFd() : -1;
    struct pollfd gate = {fd, 0, 0};
    while (fd >= 0 && poll(&gate, 1, -1) < 0 && errno == EINTR) {
    }
    corvel::MutexLockGuard guard(mutex_);
    gate_.settle(false);
}

void ProcessKeeper::Runner::Wake() {
    // Under the lock, which set_busy closes the descriptor under.
    corvel::MutexLockGuard guard(mutex_);
    woken_ = true;
    Post(wake_fd_);
}

bool ProcessKeeper::Runner::Pause(int fd, int gate_fd, int ms) {
    const uint64_t start_ns = corvel::monotonic_ns();
    for (;;) {
        int wake_fd;
        bool look;
        {
            corvel::MutexLockGuard guard(mutex_);
            if (quit_) return true;
            if (woken_) {
                woken_ = false;
                return false;
            }
            wake_fd = wake_fd_;
            // A quit or wake-up that no descriptor brings is only seen by looking
            // again.
            look = quit_fd_ < 0 || (adopting_ && adopted_fd_ < 0 && wake_fd < 0);
        }
        int wait_ms = ms < 0 ? -1 : corvel::remaining_ms(start_ns, ms);
        if (wait_ms == 0) return false;
        if (look && (wait_ms < 0 || wait_ms > kLookMs)) wait_ms = kLookMs;
        // poll skips a negative descriptor; a hang-up is reported unasked. The quit
        // descriptor is every run's, and stays readable.
        struct pollfd fds[4] = {
            {quit_fd_, POLLIN, 0}, {wake_fd, POLLIN, 0}, {fd, POLLIN, 0}, {gate_fd, 0, 0}};
        if (poll(fds, 4, wait_ms) > 0) {
            if (fds[2].revents != 0 || fds[3].revents != 0) return false;
            if (fds[1].revents != 0) {
                uint64_t count;
                corvel::read_fd(wake_fd, &count, sizeof(count));
            }
        }
    }
}

void ProcessKeeper::Runner::SetState(int32_t status, bool running) {
    Update([status, running](Process& copy) {
        copy.status = status;
        copy.running = running;
    });
}

void ProcessKeeper::Runner::SetEnded(int32_t exit_status) {
    Update([exit_status](Process& copy) {
        copy.running = false;
        copy.status = PROCESS_STOPPED;
        copy.exit_status = exit_status;
    });
    ReportExit();
}

void ProcessKeeper::Runner::ReportExit() {
    if (exited_) exited_();
}

void ProcessKeeper::Runner::Changed() { Post(changed_fd_); }

}  // namespace tendwell
