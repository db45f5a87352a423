// How the keeper recognises a process again: by its start in clock ticks since
// boot, or, for a record saved without them, by the modification time of its /proc
// entry or a start no later than that stamp; always a process of a group of its
// own. For check mode, by the check command.
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "corvel/shell.h"
#include "identity_file.h"
#include "keeper/proc_stat.h"
#include "keeper/process_keeper.h"

namespace tendwell {

namespace {

// The stamp comes from a coarse clock and the start is counted in whole ticks.
constexpr int64_t kSlackTicks = 3;

int64_t Microseconds(const timespec& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// Whether a process that started start_ticks after boot started no later than
// stamp_us on the wall clock. The stamp was taken while the recorded process lived,
// so a process that took its pid later always started after it. The kernel rebuilds
// a /proc entry (and so its modification time) whenever it drops it from its
// caches; the start stays.
bool StartedBy(uint64_t start_ticks, int64_t stamp_us) {
    timespec real;
    timespec boot;
    const long hz = sysconf(_SC_CLK_TCK);
    if (hz <= 0 || clock_gettime(CLOCK_REALTIME, &real) != 0 ||
        clock_gettime(CLOCK_BOOTTIME, &boot) != 0) {
        return false;
    }
    const int64_t tick_us = 1000000 / hz;
    const int64_t start_us =
        Microseconds(real) - Microseconds(boot) + static_cast<int64_t>(start_ticks) * tick_us;
    return start_us <= stamp_us + kSlackTicks * tick_us;
}

// Whether the recorded process, alive or ended but not reaped, is at its pid.
// Never pid 1 or a member of this process's group (this process among them): every
// kept process leads a group of its own, and a forged record must not make the
// keeper signal its own.
bool Identified(const ProcessKeeper::Process& process, ProcStat* stat) {
    if (process.pid <= 1) return false;
    if (!ReadProcStat(process.pid, stat) || stat->pgrp == getpgrp()) return false;
    // Known for every process started or adopted since identities are kept.
    if (process.start_ticks != 0) return stat->start_ticks == process.start_ticks;
    if (process.start_time_us <= 0) return false;
    return process.start_time_us == ProcessKeeper::ProcStartTime(process.pid) ||
           StartedBy(stat->start_ticks, process.start_time_us);
}

}  // namespace

int ProcessKeeper::Exec(const std::string& command, int32_t timeout_ms) {
    return corvel::run_shell_command(command.c_str(), timeout_ms);
}

int ProcessKeeper::RunCheck(const Process& process) {
    return corvel::run_shell_command(process.check_command.c_str(), process.check_timeout_ms);
}

int64_t ProcessKeeper::ProcStartTime(pid_t pid) {
    if (pid < 1) return 0;
    const std::string path = "/proc/" + std::to_string(pid);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return 0;
    return Microseconds(st.st_mtim);
}

bool ProcessKeeper::Verify(const Process& process) {
    if (!KnownByPid(process)) return RunCheck(process) == 0;
    return IdentifiedStart(process) != 0;
}

uint64_t ProcessKeeper::IdentifiedStart(const Process& process) {
    ProcStat stat;
    // A zombie of the recorded process has ended all the same.
    return Identified(process, &stat) && !stat.ended() ? stat.start_ticks : 0;
}

void ProcessKeeper::ReapEnded(const Process& process) {
    ProcStat stat;
    if (Identified(process, &stat) && stat.ended()) waitpid(process.pid, nullptr, WNOHANG);
}

}  // namespace tendwell
