// The keeper's table operations. Every public operation holds mutex_ for its whole
// body, waits included; operations built on others call the *Locked helpers, as the
// mutex is not recursive.
#include "keeper/process_keeper.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <set>

#include "corvel/clock.h"
#include "corvel/fd_io.h"
#include "corvel/spawn.h"
#include "identity_file.h"
#include "process_group.h"
#include "runner.h"

namespace tendwell {

namespace {

constexpr unsigned kPoolBatch = 5;
// Time-out of each re-adopting start made by Init.
constexpr uint32_t kInitStartMs = 5000;
// Time-out of the check commands Init runs, before any configuration is known.
constexpr int32_t kInitCheckMs = 10000;
// How often a wait looks again where no change of a runner can wake it: where the
// kernel has no process descriptors, an adopted process's end shows only to a look.
constexpr int64_t kLookMs = 10;
// How long Shutdown lets runners finish their current check command.
constexpr int64_t kQuitWaitMs = 2000;
// How long Remove waits for a run that is ending what its process left behind:
// the grace of its group and a little more.
constexpr int64_t kEndingWaitMs = 2000;
// How long a stop waits for the end of a process it has sent SIGKILL, at least,
// however short its time-out.
constexpr int64_t kKillGraceMs = 1000;
// A stop sends SIGKILL once this many tenths of its time-out have passed.
constexpr int64_t kKillTenths = 9;

void Append(std::string* msg, const std::string& name, const char* suffix) {
    if (msg != nullptr) *msg += name + suffix;
}

void Fail(ProcessKeeper::StartFailure* failure, const char* what, int error) {
    if (failure == nullptr) return;
    char reason[256];
    failure->reason = std::string(what) + ": " + strerror_r(error, reason, sizeof(reason));
}

int64_t ElapsedMs(uint64_t start_ns) {
    return static_cast<int64_t>((corvel::monotonic_ns() - start_ns) / 1000000);
}

}  // namespace

ProcessKeeper* ProcessKeeper::GetInstance() {
    static ProcessKeeper instance;
    return &instance;
}

ProcessKeeper::ProcessKeeper()
    : changed_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      quit_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

ProcessKeeper::~ProcessKeeper() {
    EndRunners();
    if (quit_fd_ >= 0) close(quit_fd_);
    if (changed_fd_ >= 0) close(changed_fd_);
}

void ProcessKeeper::SetWarningSink(WarningSink sink) {
    corvel::MutexLockGuard guard(mutex_);
    warning_sink_ = std::move(sink);
}

void ProcessKeeper::SetExitSink(ExitSink sink) {
    corvel::MutexLockGuard guard(mutex_);
    exit_sink_ = std::move(sink);
}

void ProcessKeeper::SetOwnsFiles() {
    corvel::MutexLockGuard guard(mutex_);
    owns_files_ = true;
}

void ProcessKeeper::Disown() {
    corvel::MutexLockGuard guard(mutex_);
    disowned_ = true;
}

bool ProcessKeeper::Init(const std::string& save_path) {
    std::map<std::string, Process> saved;
    {
        corvel::MutexLockGuard guard(mutex_);
        if (initialized_) return true;
        initialized_ = true;
        save_path_ = save_path;
        Load();
        if (!pool_.start(kPoolBatch, true)) return false;
        saved = processes_;
    }
    // The identity checks run without the lock, as a check command may take its
    // whole time-out.
    std::set<std::string> lost;
    std::map<std::string, uint64_t> starts;
    for (auto& item : saved) {
        Process& process = item.second;
        process.check_timeout_ms = kInitCheckMs;
        if (KnownByPid(process)) {
            // From here on the process is known by its start ticks, also when only
            // its stamp recognised it.
            const uint64_t ticks = IdentifiedStart(process);
            if (ticks != 0) {
                starts[item.first] = ticks;
                continue;
            }
        } else if (Verify(process)) {
            continue;
        }
        ReapEnded(process);
        lost.insert(item.first);
    }
    {
        corvel::MutexLockGuard guard(mutex_);
        for (auto& item : processes_) {
            Process& process = item.second;
            // Started by someone else meanwhile: what its runner sees holds.
            if (runners_.count(item.first) != 0) continue;
            auto start = starts.find(item.first);
            if (start != starts.end()) process.start_ticks = start->second;
            if (lost.count(item.first) != 0) {
                process.running = false;
                process.status = PROCESS_STOPPED;
                process.pid = -1;
            } else if (!process.command.empty() && process.status == PROCESS_STARTING) {
                // A child saved as soon as it existed, before its start was confirmed:
                // it is adopted, not started a second time.
                process.running = true;
                process.status = PROCESS_RUNNING;
            }
        }
    }
    // One batch, saved once: a thousand re-adoptions would otherwise write the
    // whole table a thousand times.
    std::vector<StartRequest> adoptions;
    for (const auto& item : saved) {
        const int32_t status = item.second.status;
        if (lost.count(item.first) == 0 &&
            (status == PROCESS_STARTING || status == PROCESS_RUNNING)) {
            adoptions.push_back(StartRequest{item.first});
        }
    }
    if (!adoptions.empty()) StartEach(&adoptions, kInitStartMs);
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
        stored.check_timeout_ms = process.check_timeout_ms;
    } else {
        stored = process;
    }
    Append(msg, process.name, " added.");
    SaveIfChanged();
    return true;
}

bool ProcessKeeper::Remove(const std::string& name, std::string* msg) {
    corvel::MutexLockGuard guard(mutex_);
    auto runner = runners_.find(name);
    if (runner != runners_.end()) {
        // A run whose process has ended may still be ending the rest of its group:
        // that is awaited, within a bound.
        const uint64_t start_ns = corvel::monotonic_ns();
        while (runner->second->busy() && runner->second->Snapshot().status == PROCESS_STOPPED &&
               !AwaitChange(start_ns, kEndingWaitMs, false)) {
        }
        if (runner->second->busy() || runner->second->Snapshot().status == PROCESS_RUNNING) {
            Append(msg, name, " is running now, can't be removed.");
            return false;
        }
        delete runner->second;
        runners_.erase(runner);
    }
    processes_.erase(name);
    Append(msg, name, " removed.");
    SaveIfChanged();
    return true;
}

bool ProcessKeeper::Start(const std::string& name, uint32_t timeout_ms, std::string* msg,
                          StartFailure* failure) {
    corvel::MutexLockGuard guard(mutex_);
    return StartLocked(name, timeout_ms, msg, failure);
}

void ProcessKeeper::StartEach(std::vector<StartRequest>* starts, uint32_t timeout_ms) {
    corvel::MutexLockGuard guard(mutex_);
    StartEachLocked(starts, timeout_ms);
}

bool ProcessKeeper::StartLocked(const std::string& name, uint32_t timeout_ms, std::string* msg,
                                StartFailure* failure) {
    std::vector<StartRequest> starts(1);
    starts[0].name = name;
    StartEachLocked(&starts, timeout_ms);
    if (msg != nullptr) *msg += starts[0].msg;
    if (failure != nullptr) *failure = starts[0].failure;
    return starts[0].started;
}

void ProcessKeeper::StartEachLocked(std::vector<StartRequest>* starts, uint32_t timeout_ms) {
    // Every runner is handed over before any start is awaited, so that the
    // processes are made side by side.
    std::vector<Launched> launches;
    for (StartRequest& request : *starts) {
        Launched launch = Prepare(&request);
        if (launch.runner != nullptr && HandOver(&launch)) launches.push_back(launch);
    }
    const uint64_t start_ns = corvel::monotonic_ns();
    std::vector<Launched> launched;
    bool expired = false;
    // Looked at in the order handed over, about the order in which the processes
    // come, so that each look but the last of each start finds it decided.
    for (Launched& launch : launches) {
        for (;;) {
            const Look state = LookAt(&launch);
            if (state == kLaunched) launched.push_back(launch);
            if (state != kWaiting) break;
            if (expired) {
                Append(&launch.request->msg, launch.request->name, " started failed.");
                break;
            }
            expired = AwaitChange(start_ns, timeout_ms, false);
        }
    }
    if (!launched.empty()) SaveLaunched(launched);
}

ProcessKeeper::Launched ProcessKeeper::Prepare(StartRequest* request) {
    const std::string& name = request->name;
    auto record = processes_.find(name);
    if (record == processes_.end()) {
        Append(&request->msg, name, " not found.");
        return {};
    }
    Runner*& runner = runners_[name];
    if (runner == nullptr) {
        runner = new Runner(record->second, changed_fd_, quit_fd_, exit_sink_);
    } else {
        Process seen = runner->Snapshot();
        if (seen.status == PROCESS_RUNNING) {
            Append(&request->msg, name, " is already running.");
            Confirm(seen, &record->second);
            SaveIfChanged();
            request->started = true;
            return {};
        }
        // The record may still show running a process that has ended since the table
        // was last copied: handed over so, it would have the new run adopt the dead.
        TakeSeen(seen, &record->second);
    }
    return {request, runner, &record->second};
}

bool ProcessKeeper::HandOver(Launched* launch) {
    Runner* runner = launch->runner;
    // A run still executing (ending, or about to spawn) is never handed over a
    // second time: its end is awaited within the same time-out.
    if (launch->handed || runner->busy()) return true;
    runner->Reset(*launch->record);
    runner->set_busy(true);
    if (!pool_.add(runner)) {
        const int error = errno;
        // It never ran: drop it rather than keep a copy nobody watches.
        delete runner;
        runners_.erase(launch->request->name);
        Fail(&launch->request->failure, "no thread could be made for it", error);
        // The keeper's want, not the process's doing.
        launch->request->failure.refused = true;
        Append(&launch->request->msg, launch->request->name, " started failed.");
        return false;
    }
    launch->handed = true;
    return true;
}

ProcessKeeper::Look ProcessKeeper::LookAt(Launched* launch) {
    StartRequest* request = launch->request;
    Runner* runner = launch->runner;
    if (!HandOver(launch)) return kFailed;
    // Looked at in this order, a run that has ended shows how.
    const bool over = launch->handed && !runner->busy();
    const Process seen = runner->Snapshot();
    // A pid-mode start counts only once the child is spawned: before that the
    // copy still holds the previous run's pid.
    const bool started = seen.command.empty()
                             ? seen.status == PROCESS_STARTING || seen.status == PROCESS_RUNNING
                             : seen.status == PROCESS_RUNNING;
    if (started) {
        Confirm(seen, launch->record);
        launch->pid = seen.pid;
        if (before_save_) before_save_(request->name);
        return kLaunched;
    }
    // No process could be made, or its shell could not be run in it, and nothing
    // will run: no need to wait for it.
    const int error = over ? runner->start_error() : 0;
    if (error == 0) return kWaiting;
    // Out of processes, memory or descriptors: the keeper's want, as above.
    const bool want = corvel::spawn_made_no_process(error);
    Fail(&request->failure,
         want ? "no process could be made for it" : "its shell could not be run", error);
    request->failure.refused = want;
    Append(&request->msg, request->name, " started failed.");
    return kFailed;
}

void ProcessKeeper::SaveLaunched(const std::vector<Launched>& launched) {
    const int error = SaveIfChanged();
    std::vector<const Launched*> refused;
    for (const Launched& start : launched) {
        if (error == 0) {
            // Saved with its pid: a keeper killed from here on leaves the child to
            // the next one to adopt.
            start.runner->Release(start.pid);
        } else if (start.runner->Refuse()) {
            refused.push_back(&start);
            continue;
        }
        start.request->started = true;
        Append(&start.request->msg, start.request->name, " started.");
    }
    // A later keeper could not know of these children: each ends unrun, and its
    // record is as if it had never started.
    const uint64_t refused_ns = corvel::monotonic_ns();
    for (const Launched* start : refused) {
        while (start->runner->busy() && !AwaitChange(refused_ns, kEndingWaitMs, false)) {
        }
        StartRequest* request = start->request;
        Refresh(request->name, start->record);
        start->record->running = false;
        start->record->status = PROCESS_STOPPED;
        request->failure.refused = true;
        request->failure.reason = SaveFailure(error);
        Append(&request->msg, request->name, " started failed.");
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
    // SIGKILL once nine tenths of the time-out have passed, at once for none; the
    // process then has at least a grace to go before the stop gives up.
    const int64_t kill_ms = timeout_ms / 10 * kKillTenths;
    const int64_t end_ms = std::max<int64_t>(timeout_ms, kill_ms + kKillGraceMs);
    // An adopted process is not this keeper's child: its end shows on a descriptor of
    // it, or, where the kernel has none, to the identity check; it is looked for
    // without waiting for the runner and before any signal, as its pid may already
    // belong to another program.
    const int end_fd = runner->AdoptedEndFd();
    const bool look = end_fd < 0 && runner->adopting();
    auto ended = [runner](const Process& now) {
        return now.status != PROCESS_RUNNING || runner->AdoptedEnded();
    };
    bool stopped = ended(seen);
    if (!stopped) {
        runner->Signal(SIGTERM);
        // A stopped process would hold its SIGTERM pending until the SIGKILL.
        runner->Signal(SIGCONT);
    }
    // The runner's report of the end, or the end itself, wakes the wait at any moment.
    for (bool killed = false; !stopped;) {
        const bool passed = AwaitChange(start_ns, killed ? end_ms : kill_ms, look, end_fd);
        stopped = ended(runner->Snapshot());
        if (stopped || !passed) continue;
        if (killed) break;
        runner->Signal(SIGKILL);
        killed = true;
    }
    if (end_fd >= 0) close(end_fd);
    if (!stopped) {
        Append(msg, name, " can't be stoped.");
        return false;
    }
    Append(msg, name, " stoped.");
    auto record = processes_.find(name);
    if (record != processes_.end()) {
        record->second.running = false;
        record->second.status = PROCESS_STOPPED;
        // The last stop removes the state file at once. Any other is saved with the
        // next change, table copy or shutdown: a stop of a thousand processes would
        // otherwise rewrite the whole table a thousand times. Meanwhile the file may
        // still name the ended process as running, which costs nothing, as no record
        // is adopted before its identity is checked.
        if (!AnyActive()) SaveIfChanged();
    }
    return true;
}

bool ProcessKeeper::Restart(const std::string& name, uint32_t timeout_ms, std::string* msg,
                            StartFailure* failure) {
    corvel::MutexLockGuard guard(mutex_);
    const uint32_t half_ms = timeout_ms >> 1;
    if (!StopLocked(name, half_ms, msg)) return false;
    if (msg != nullptr) *msg += "\n";
    return StartLocked(name, half_ms, msg, failure);
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
    if (SaveIfChanged() != 0) return;
    // A child whose start gave up before it was spawned runs once saved.
    for (const auto& item : runners_) {
        auto record = processes_.find(item.first);
        if (record != processes_.end() && record->second.status == PROCESS_RUNNING) {
            item.second->Release(record->second.pid);
        }
    }
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
    SaveIfChanged();
    return all;
}

bool ProcessKeeper::Shutdown() {
    corvel::MutexLockGuard guard(mutex_);
    if (!initialized_) return true;
    initialized_ = false;
    SaveIfChanged();
    // The processes keep the states just saved, for the next Init to re-adopt.
    EndRunners();
    return true;
}

void ProcessKeeper::EndRunners() {
    for (auto& item : runners_) item.second->Quit();
    const uint64_t one = 1;
    if (quit_fd_ >= 0) corvel::write_fd(quit_fd_, &one, sizeof(one));
    // Every wait of a runner ends at once; only a check command still running
    // keeps it busy, and its thread is cancelled when it takes too long.
    const uint64_t start_ns = corvel::monotonic_ns();
    for (const auto& item : runners_) {
        while (item.second->busy() && ElapsedMs(start_ns) < kQuitWaitMs) corvel::sleep_ms(kLookMs);
    }
    pool_.stop(false);
    for (auto& item : runners_) delete item.second;
    runners_.clear();
    // Unread again, for the runners of a later Init.
    uint64_t count;
    if (quit_fd_ >= 0) corvel::read_fd(quit_fd_, &count, sizeof(count));
}

bool ProcessKeeper::AwaitChange(uint64_t start_ns, int64_t moment_ms, bool look, int end_fd) {
    int64_t wait_ms = std::clamp<int64_t>(moment_ms - ElapsedMs(start_ns), 0, INT_MAX);
    if (look || changed_fd_ < 0) wait_ms = std::min(wait_ms, kLookMs);
    // poll skips a descriptor of -1 and, without either, only waits.
    struct pollfd fds[2] = {{changed_fd_, POLLIN, 0}, {end_fd, POLLIN, 0}};
    if (poll(fds, 2, static_cast<int>(wait_ms)) > 0 && fds[0].revents != 0) {
        uint64_t count;
        corvel::read_fd(changed_fd_, &count, sizeof(count));
    }
    return ElapsedMs(start_ns) >= moment_ms;
}

void ProcessKeeper::SetBeforeSaveHook(std::function<void(const std::string& name)> hook) {
    corvel::MutexLockGuard guard(mutex_);
    before_save_ = std::move(hook);
}

void ProcessKeeper::Warn(const char* operation, const std::string& text) {
    if (warning_sink_) warning_sink_(operation, text);
}

void ProcessKeeper::Refresh(const std::string& name, Process* process) {
    auto runner = runners_.find(name);
    if (runner != runners_.end()) TakeSeen(runner->second->Snapshot(), process);
}

void ProcessKeeper::TakeSeen(const Process& seen, Process* process) {
    process->status = seen.status;
    process->running = seen.status == PROCESS_RUNNING;
    process->pid = seen.pid;
    process->exit_status = seen.exit_status;
    // A pid-mode identity goes with the pid: a child spawned after its start gave
    // up is saved as it is.
    if (!seen.command.empty()) {
        process->start_time_us = seen.start_time_us;
        process->start_ticks = seen.start_ticks;
    }
}

void ProcessKeeper::Confirm(const Process& seen, Process* process) {
    process->pid = seen.pid;
    // A pid-mode runner took the stamp and ticks of the child it spawned, or kept
    // those of the process it adopted; a stamp taken now could belong to a reused
    // pid.
    process->start_time_us = seen.command.empty() ? ProcStartTime(seen.pid) : seen.start_time_us;
    process->start_ticks = seen.start_ticks;
    process->status = seen.status;
    process->running = seen.status == PROCESS_RUNNING;
}

}  // namespace tendwell
