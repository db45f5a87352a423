// The keeper's table operations. Every public operation holds mutex_ for its whole
// body, waits included; operations built on others call the *Locked helpers, as the
// mutex is not recursive.
#include "keeper/process_keeper.h"

#include <signal.h>

#include <algorithm>

#include "corvel/clock.h"
#include "runner.h"

namespace tendwell {

namespace {

constexpr unsigned kPoolBatch = 5;
// Time-out of each re-adopting start made by Init.
constexpr uint32_t kInitStartMs = 5000;
// Start and Stop look at the runner at least this often, so they end as soon as
// the answer is known.
constexpr int64_t kLookMs = 10;
// How long Shutdown lets runners finish their current check command.
constexpr int64_t kQuitWaitMs = 2000;
// Start and Stop look at least this many times, also when a time-out below 10 ms
// leaves no time between the looks.
constexpr int kMinLooks = 10;

void Append(std::string* msg, const std::string& name, const char* suffix) {
    if (msg != nullptr) *msg += name + suffix;
}

// Never signals a group id below 2: kill(-1) would reach every process and kill(0)
// the keeper's own group.
bool SignalGroup(int32_t pgid, int signo) {
    if (pgid < 2) return false;
    return kill(-pgid, signo) == 0;
}

int64_t ElapsedMs(uint64_t start_ns) {
    return static_cast<int64_t>((corvel::monotonic_ns() - start_ns) / 1000000);
}

// Paces the looks of a wait: quick ones first, as most answers come within a
// millisecond or two, then one every kLookMs; never past the moment next_ms.
class Pace {
public:
    void Sleep(int64_t now_ms, int64_t next_ms) {
        const int64_t step_ms = std::min<int64_t>(kLookMs, int64_t{1} << doublings_);
        if (step_ms < kLookMs) ++doublings_;
        corvel::sleep_ms(static_cast<int32_t>(std::clamp<int64_t>(next_ms - now_ms, 0, step_ms)));
    }

private:
    int doublings_ = 0;
};

}  // namespace

ProcessKeeper* ProcessKeeper::GetInstance() {
    static ProcessKeeper instance;
    return &instance;
}

ProcessKeeper::ProcessKeeper() = default;

ProcessKeeper::~ProcessKeeper() { EndRunners(); }

bool ProcessKeeper::Init(const std::string& save_path) {
    std::map<std::string, Process> saved;
    {
        corvel::MutexLockGuard guard(mutex_);
        if (initialized_) return true;
        initialized_ = true;
        save_path_ = save_path;
        Load();
        if (!pool_.start(kPoolBatch, true)) return false;
        for (auto& item : processes_) {
            Process& process = item.second;
            if (!Verify(process)) {
                process.running = false;
                process.status = PROCESS_STOPPED;
                process.pid = -1;
            }
        }
        saved = processes_;
    }
    for (const auto& item : saved) {
        const int32_t status = item.second.status;
        if (status == PROCESS_STARTING || status == PROCESS_RUNNING) {
            Start(item.first, kInitStartMs, nullptr);
        }
    }
    return true;
}

bool ProcessKeeper::Add(const Process& process, std::string* msg) {
    corvel::MutexLockGuard guard(mutex_);
    Process& stored = processes_[process.name];
    if (stored.status == PROCESS_STARTING || stored.status == PROCESS_RUNNING) {
        stored.command = process.command;
        stored.start_command = process.start_command;
        stored.check_command = process.check_command;
        stored.check_interval_ms = process.check_interval_ms;
    } else {
        stored = process;
    }
    Append(msg, process.name, " added.");
    Save();
    return true;
}

bool ProcessKeeper::Remove(const std::string& name, std::string* msg) {
    corvel::MutexLockGuard guard(mutex_);
    auto runner = runners_.find(name);
    if (runner != runners_.end()) {
        if (runner->second->busy() || runner->second->Snapshot().status == PROCESS_RUNNING) {
            Append(msg, name, " is running now, can't be removed.");
            return false;
        }
        delete runner->second;
        runners_.erase(runner);
    }
    processes_.erase(name);
    Append(msg, name, " removed.");
    Save();
    return true;
}

bool ProcessKeeper::Start(const std::string& name, uint32_t timeout_ms, std::string* msg) {
    corvel::MutexLockGuard guard(mutex_);
    return StartLocked(name, timeout_ms, msg);
}

bool ProcessKeeper::StartLocked(const std::string& name, uint32_t timeout_ms, std::string* msg) {
    auto record = processes_.find(name);
    if (record == processes_.end()) {
        Append(msg, name, " not found.");
        return false;
    }
    Runner*& runner = runners_[name];
    if (runner == nullptr) {
        runner = new Runner(record->second);
    } else {
        Process seen = runner->Snapshot();
        if (seen.status == PROCESS_RUNNING) {
            Append(msg, name, " is already running.");
            Confirm(seen, &record->second);
            Save();
            return true;
        }
    }

    const uint64_t start_ns = corvel::monotonic_ns();
    const int64_t limit_ms = 10 * static_cast<int64_t>(timeout_ms / 10);
    bool handed = false;
    int looks = 0;
    Pace pace;
    for (;;) {
        // A run still executing (ending, or about to fork) is never handed over a
        // second time: its end is awaited within the same time-out.
        if (!handed && !runner->busy()) {
            runner->Reset(record->second);
            runner->set_busy(true);
            if (!pool_.add(runner)) {
                // It never ran: drop it rather than keep a copy nobody watches.
                delete runner;
                runners_.erase(name);
                Append(msg, name, " started failed.");
                return false;
            }
            handed = true;
        }
        Process seen = runner->Snapshot();
        ++looks;
        // A pid-mode start counts only once the child is forked: before that the
        // copy still holds the previous run's pid.
        const bool started = seen.command.empty()
                                 ? seen.status == PROCESS_STARTING || seen.status == PROCESS_RUNNING
                                 : seen.status == PROCESS_RUNNING;
        if (started) {
            Confirm(seen, &record->second);
            Save();
            Append(msg, name, " started.");
            return true;
        }
        const int64_t now_ms = ElapsedMs(start_ns);
        if (now_ms >= limit_ms && looks >= kMinLooks) {
            Append(msg, name, " started failed.");
            return false;
        }
        pace.Sleep(now_ms, limit_ms);
    }
}

bool ProcessKeeper::Stop(const std::string& name, uint32_t timeout_ms, std::string* msg) {
    corvel::MutexLockGuard guard(mutex_);
    return StopLocked(name, timeout_ms, msg);
}

bool ProcessKeeper::StopLocked(const std::string& name, uint32_t timeout_ms, std::string* msg) {
    auto found = runners_.find(name);
    if (found == runners_.end()) {
        Append(msg, name, " not found.");
        return true;
    }
    Runner* runner = found->second;
    const Process seen = runner->Snapshot();
    if (seen.status != PROCESS_RUNNING) {
        Append(msg, name, " not running.");
        return true;
    }
    // A check-mode process has no group of its own to signal.
    if (seen.pid < 2) {
        Append(msg, name, " can't be stoped.");
        return false;
    }

    const uint64_t start_ns = corvel::monotonic_ns();
    const int64_t step_ms = timeout_ms / 10;
    const int64_t kill_ms = 9 * step_ms;
    const int64_t limit_ms = 10 * step_ms;
    // An adopted process is not this keeper's child: its end is seen through the
    // identity check, without waiting for the runner's next one, and before any
    // signal, as its pid may already belong to another program.
    auto ended = [runner](const Process& now) {
        if (now.status != PROCESS_RUNNING) return true;
        if (!runner->adopting() || Verify(now)) return false;
        runner->MarkEnded();
        return true;
    };
    bool stopped = ended(seen);
    if (!stopped) SignalGroup(seen.pid, SIGTERM);
    bool killed = false;
    int looks = 0;
    Pace pace;
    while (!stopped) {
        const int64_t now_ms = ElapsedMs(start_ns);
        if (!killed && now_ms >= kill_ms && looks >= kMinLooks - 1) {
            SignalGroup(seen.pid, SIGKILL);
            killed = true;
        }
        pace.Sleep(now_ms, killed ? limit_ms : kill_ms);
        stopped = ended(runner->Snapshot());
        ++looks;
        if (!stopped && killed && ElapsedMs(start_ns) >= limit_ms && looks >= kMinLooks) {
            Append(msg, name, " can't be stoped.");
            return false;
        }
    }
    Append(msg, name, " stoped.");
    auto record = processes_.find(name);
    if (record != processes_.end()) {
        record->second.running = false;
        record->second.status = PROCESS_STOPPED;
        Save();
    }
    return true;
}

bool ProcessKeeper::Restart(const std::string& name, uint32_t timeout_ms, std::string* msg) {
    corvel::MutexLockGuard guard(mutex_);
    const uint32_t half_ms = timeout_ms >> 1;
    if (!StopLocked(name, half_ms, msg)) return false;
    if (msg != nullptr) *msg += "\n";
    return StartLocked(name, half_ms, msg);
}

bool ProcessKeeper::Signal(const std::string& name, int signo, std::string* msg) {
    corvel::MutexLockGuard guard(mutex_);
    auto record = processes_.find(name);
    if (record == processes_.end()) {
        Append(msg, name, " not found.");
        return false;
    }
    Process& process = record->second;
    if (process.pid < 2) {
        Append(msg, name, " not running.");
        return false;
    }
    Refresh(name, &process);
    if (!Verify(process)) {
        Append(msg, name, " verfied failed.");
        return false;
    }
    if (!SignalGroup(process.pid, signo)) {
        Append(msg, name, " signaled failed.");
        return false;
    }
    Append(msg, name, " signaled.");
    return true;
}

void ProcessKeeper::GetAll(std::map<std::string, Process>* out) {
    corvel::MutexLockGuard guard(mutex_);
    GetAllLocked(out);
}

void ProcessKeeper::GetAllLocked(std::map<std::string, Process>* out) {
    for (auto& item : processes_) Refresh(item.first, &item.second);
    if (out != nullptr) *out = processes_;
    Save();
}

bool ProcessKeeper::Get(const std::string& name, Process* out) {
    corvel::MutexLockGuard guard(mutex_);
    auto record = processes_.find(name);
    if (record == processes_.end()) return false;
    Refresh(name, &record->second);
    if (out != nullptr) *out = record->second;
    return true;
}

bool ProcessKeeper::StopAll(uint32_t timeout_ms, std::string* msg) {
    corvel::MutexLockGuard guard(mutex_);
    std::map<std::string, Process> table;
    GetAllLocked(&table);
    bool all = true;
    for (const auto& item : table) {
        if (!StopLocked(item.first, timeout_ms, msg)) all = false;
    }
    return all;
}

bool ProcessKeeper::Shutdown() {
    corvel::MutexLockGuard guard(mutex_);
    if (!initialized_) return true;
    initialized_ = false;
    Save();
    // The processes keep the states just saved, for the next Init to re-adopt.
    EndRunners();
    return true;
}

void ProcessKeeper::EndRunners() {
    for (auto& item : runners_) item.second->Quit();
    // Every wait of a runner ends at once; only a check command still running
    // keeps it busy, and its thread is cancelled when it takes too long.
    const uint64_t start_ns = corvel::monotonic_ns();
    for (const auto& item : runners_) {
        while (item.second->busy() && ElapsedMs(start_ns) < kQuitWaitMs) corvel::sleep_ms(kLookMs);
    }
    pool_.stop(false);
    for (auto& item : runners_) delete item.second;
    runners_.clear();
}

void ProcessKeeper::Refresh(const std::string& name, Process* process) {
    auto runner = runners_.find(name);
    if (runner == runners_.end()) return;
    const Process seen = runner->second->Snapshot();
    process->status = seen.status;
    process->running = seen.status == PROCESS_RUNNING;
    process->pid = seen.pid;
    process->exit_status = seen.exit_status;
}

void ProcessKeeper::Confirm(const Process& seen, Process* process) {
    process->pid = seen.pid;
    // A pid-mode runner took the stamp of the child it forked, or kept the one of
    // the process it adopted; a stamp taken now could belong to a reused pid.
    process->start_time_us = seen.command.empty() ? ProcStartTime(seen.pid) : seen.start_time_us;
    process->status = seen.status;
    process->running = seen.status == PROCESS_RUNNING;
}

}  // namespace tendwell
