#include "tendwell_tendlet_manager.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "tendwell_configure.h"
#include "tendwell_utility.h"

namespace tendwell {

namespace {

constexpr int32_t kMinPeriodMs = 1000;

void SetResult(TReturnResult* result, int code, const std::string& msg) {
    result->returnCode = static_cast<TReturnCode::type>(code);
    result->returnMsg = msg;
}

void SetActionFailure(TReturnResult* result, int code, const Tendlet& tendlet,
                      const std::string& keeper_msg) {
    SetResult(result, code, "name:" + tendlet.name() + " " + keeper_msg);
}

void SetNotExist(TReturnResult* result, const std::string& name, const char* command) {
    SetResult(result, TReturnCode::ERROR_NAME_NOT_EXIST,
              "name:" + name + " not exist, " + command + " erro.");
}

// A successful restart shows as a stop followed by a start.
void MarkRestarted(Tendlet* tendlet, int64_t now, bool new_series) {
    tendlet->SetStatus(TTendletStatus::STOPED, "stoped");
    tendlet->SetStatus(TTendletStatus::RUNNING, "running");
    tendlet->SetStartTime(now, new_series);
    tendlet->SetRestartTime(now);
}

// Higher priority first; equal priorities keep their (name) order.
void SortByPriority(std::vector<Tendlet*>* tendlets) {
    std::stable_sort(tendlets->begin(), tendlets->end(), [](const Tendlet* a, const Tendlet* b) {
        return a->config().priority() > b->config().priority();
    });
}

}  // namespace

ProcessKeeperPort* ProcessKeeperPort::GetInstance() {
    static ProcessKeeperPort port;
    return &port;
}

bool ProcessKeeperPort::Init(const std::string& save_path, ProcessKeeper::ExitSink exited) {
    ProcessKeeper* keeper = ProcessKeeper::GetInstance();
    // The keeper writes no log of its own: its warnings go to the process log.
    keeper->SetWarningSink([](const char* operation, const std::string& text) {
        TW_WARNING(operation, "%s", text.c_str());
    });
    keeper->SetExitSink(std::move(exited));
    return keeper->Init(save_path);
}

void ProcessKeeperPort::GetAll(std::map<std::string, ProcessKeeper::Process>* out) {
    ProcessKeeper::GetInstance()->GetAll(out);
}

bool ProcessKeeperPort::Add(const ProcessKeeper::Process& process, std::string* msg) {
    return ProcessKeeper::GetInstance()->Add(process, msg);
}

bool ProcessKeeperPort::Remove(const std::string& name, std::string* msg) {
    return ProcessKeeper::GetInstance()->Remove(name, msg);
}

bool ProcessKeeperPort::Start(const std::string& name, uint32_t timeout_ms, std::string* msg,
                              ProcessKeeper::StartFailure* failure) {
    return ProcessKeeper::GetInstance()->Start(name, timeout_ms, msg, failure);
}

void ProcessKeeperPort::StartEach(std::vector<ProcessKeeper::StartRequest>* starts,
                                  uint32_t timeout_ms) {
    ProcessKeeper::GetInstance()->StartEach(starts, timeout_ms);
}

bool ProcessKeeperPort::Stop(const std::string& name, uint32_t timeout_ms, std::string* msg) {
    return ProcessKeeper::GetInstance()->Stop(name, timeout_ms, msg);
}

bool ProcessKeeperPort::Restart(const std::string& name, uint32_t timeout_ms, std::string* msg,
                                ProcessKeeper::StartFailure* failure) {
    return ProcessKeeper::GetInstance()->Restart(name, timeout_ms, msg, failure);
}

bool ProcessKeeperPort::Signal(const std::string& name, int signo, std::string* msg) {
    return ProcessKeeper::GetInstance()->Signal(name, signo, msg);
}

int ProcessKeeperPort::Exec(const std::string& command, int32_t timeout_ms) {
    return ProcessKeeper::Exec(command, timeout_ms);
}

bool ProcessKeeperPort::Shutdown() {
    return ProcessKeeper::GetInstance()->Shutdown();
}

TendletManager* TendletManager::GetInstance() {
    static TendletManager manager(ProcessKeeperPort::GetInstance(), SystemSeconds);
    return &manager;
}

TendletManager::TendletManager(KeeperPort* keeper, SecondsClock clock)
    : keeper_(keeper), clock_(std::move(clock)) {}

TendletManager::~TendletManager() {
    Clear();
}

void TendletManager::Clear() {
    tendlets_.clear();
}

void TendletManager::AddTendlet(std::unique_ptr<Tendlet> tendlet, const std::string& keeper_msg) {
    TW_NOTICE("Init", "add %s to tendlet_list succ, status:%d(%s)", tendlet->name().c_str(),
              tendlet->status(), keeper_msg.c_str());
    // A later entry of the same name replaces the earlier one.
    tendlets_[tendlet->name()] = std::move(tendlet);
}

int TendletManager::Init(const PConfigure& conf) {
    period_ms_ = std::max(conf.period_check_gap_msec(), kMinPeriodMs);
    Clear();
    const std::string path = StateFilePath(conf);
    if (!keeper_->Init(path, [this] { WakeLoop(); })) {
        TW_WARNING("Init", "init %s process keeper fail", path.c_str());
        return -1;
    }
    std::map<std::string, ProcessKeeper::Process> processes;
    keeper_->GetAll(&processes);

    corvel::MutexLockGuard guard(mutex_);
    keeper_shut_ = false;
    for (const PProcessConfigure& process : conf.process()) {
        auto tendlet = std::make_unique<Tendlet>(process, clock_);
        const auto kept = processes.find(process.name());
        if (kept != processes.end() && kept->second.status == ProcessKeeper::PROCESS_RUNNING) {
            tendlet->SetStatus(TTendletStatus::RUNNING, "running");
        }
        std::string msg;
        keeper_->Add(tendlet->KeeperRecord(), &msg);
        AddTendlet(std::move(tendlet), msg);
    }
    return 0;
}

int TendletManager::InitWithoutProcessKeeper(const PConfigure& conf) {
    Clear();
    corvel::MutexLockGuard guard(mutex_);
    for (const PProcessConfigure& process : conf.process()) {
        AddTendlet(std::make_unique<Tendlet>(process, clock_), "");
    }
    return 0;
}

Tendlet* TendletManager::Find(const std::string& name) const {
    const auto found = tendlets_.find(name);
    return found == tendlets_.end() ? nullptr : found->second.get();
}

bool TendletManager::Refused(int fail_code, bool refuse_when_stopping,
                             TReturnResult* result) const {
    // Whatever is started now, the exiting daemon would abandon.
    if (refuse_when_stopping && !keep_running_) {
        SetResult(result, TReturnCode::ERROR_IS_STOPING, "tendwell is stopping");
        return true;
    }
    // Without its keeper a command would report success while nothing acts.
    if (keeper_shut_) {
        SetResult(result, fail_code, "process keeper is shut down");
        return true;
    }
    return false;
}

bool TendletManager::StartTendlet(Tendlet* tendlet, bool new_series, TReturnResult* result) {
    std::string msg;
    if (!tendlet->Start(*keeper_, &msg)) {
        tendlet->SetStatus(TTendletStatus::EXIT, "exit");
        SetActionFailure(result, TReturnCode::ERROR_START_FAIL, *tendlet, msg);
        return false;
    }
    tendlet->SetStatus(TTendletStatus::STARTING, "starting");
    tendlet->SetStartTime(clock_(), new_series);
    return true;
}

TReturnResult TendletManager::Start() {
    TReturnResult result;
    TW_NOTICE("Start", "begin to start...");
    corvel::MutexLockGuard guard(mutex_);
    if (!Refused(TReturnCode::ERROR_START_FAIL, true, &result)) {
        std::vector<Tendlet*> due;
        for (const auto& entry : tendlets_) {
            if (entry.second->NeedStart(kForcedStart)) due.push_back(entry.second.get());
        }
        SortByPriority(&due);
        for (Tendlet* tendlet : due) {
            if (!StartTendlet(tendlet, true, &result)) break;
        }
    }
    TW_NOTICE("Start", "return:%d(%s)", result.returnCode, result.returnMsg.c_str());
    return result;
}

TReturnResult TendletManager::Stop() {
    TReturnResult result;
    std::string msg;
    TW_NOTICE("Stop", "begin to stop...");
    corvel::MutexLockGuard guard(mutex_);
    if (!Refused(TReturnCode::ERROR_STOP_FAIL, false, &result)) {
        std::vector<Tendlet*> running;
        for (const auto& entry : tendlets_) {
            if (entry.second->MayBeAlive()) running.push_back(entry.second.get());
        }
        SortByPriority(&running);
        // Every one is tried whatever another's stop returned: the exiting daemon
        // would leave what still runs unwatched.
        for (auto it = running.rbegin(); it != running.rend(); ++it) {
            Tendlet* tendlet = *it;
            if (tendlet->Stop(*keeper_, &msg)) {
                tendlet->SetStatus(TTendletStatus::STOPED, "stoped");
                tendlet->SetStopTime(clock_());
                continue;
            }
            // One still starting may have no process yet for its stop to find: no
            // failure of the stop.
            if (!tendlet->IsRunning()) {
                TW_WARNING("Stop", "%s is not running, its stop failed:%s", tendlet->name().c_str(),
                           msg.c_str());
                continue;
            }
            TW_WARNING("Stop", "%s stop failed:%s", tendlet->name().c_str(), msg.c_str());
            if (result.returnCode == TReturnCode::SUCC) {
                SetActionFailure(&result, TReturnCode::ERROR_STOP_FAIL, *tendlet, msg);
            }
        }
    }
    // A stop of all tendlets ends the periodic loop, whatever it achieved.
    EndLoop();
    TW_NOTICE("Stop", "return:%d(%s), keeper_msg:%s", result.returnCode, result.returnMsg.c_str(),
              msg.c_str());
    return result;
}

TReturnResult TendletManager::Reload() {
    TReturnResult result;
    TW_NOTICE("Reload", "begin to reload...");
    corvel::MutexLockGuard guard(mutex_);
    if (!Refused(TReturnCode::ERROR_RELOD_FAIL, true, &result)) {
        for (const auto& entry : tendlets_) {
            Tendlet* tendlet = entry.second.get();
            if (!tendlet->IsRunning() || tendlet->config().type() != USER_PROGRAME) continue;
            std::string msg;
            if (!tendlet->Reload(*keeper_, &msg)) {
                SetActionFailure(&result, TReturnCode::ERROR_RELOD_FAIL, *tendlet, msg);
                break;
            }
            tendlet->SetReloadTime(clock_());
        }
    }
    TW_NOTICE("Reload", "return:%d(%s)", result.returnCode, result.returnMsg.c_str());
    return result;
}

TReturnResult TendletManager::Restart() {
    TReturnResult result;
    TW_NOTICE("Restart", "begin to restart...");
    corvel::MutexLockGuard guard(mutex_);
    if (!Refused(TReturnCode::ERROR_RESTART_FAIL, true, &result)) {
        for (const auto& entry : tendlets_) {
            Tendlet* tendlet = entry.second.get();
            if (!tendlet->IsRunning()) continue;
            std::string msg;
            if (!tendlet->Restart(*keeper_, &msg)) {
                SetActionFailure(&result, TReturnCode::ERROR_RESTART_FAIL, *tendlet, msg);
                break;
            }
            MarkRestarted(tendlet, clock_(), true);
        }
    }
    TW_NOTICE("Restart", "return:%d(%s)", result.returnCode, result.returnMsg.c_str());
    return result;
}

TReturnResult TendletManager::Abort() {
    // Not the manager's mutex: an abort must get through while a command or a
    // pass holds it.
    EndLoop();
    TReturnResult result;
    TW_NOTICE("Abort", "return:%d(%s)", result.returnCode, result.returnMsg.c_str());
    return result;
}

TTendletStatusResponse TendletManager::Check() {
    TTendletStatusResponse response;
    {
        corvel::MutexLockGuard guard(mutex_);
        for (const auto& entry : tendlets_) {
            response.statusInfo.emplace_back();
            entry.second->GetStatusInfo(&response.statusInfo.back());
        }
    }
    TW_NOTICE("Check", "succ have %d tendlet.", static_cast<int>(response.statusInfo.size()));
    return response;
}

TReturnResult TendletManager::StartOne(const std::string& name) {
    TReturnResult result;
    corvel::MutexLockGuard guard(mutex_);
    Tendlet* tendlet = Find(name);
    if (tendlet == nullptr) {
        SetNotExist(&result, name, "start");
    } else if (!Refused(TReturnCode::ERROR_START_FAIL, true, &result) &&
               tendlet->NeedStart(kForcedStart)) {
        StartTendlet(tendlet, false, &result);
    }
    TW_NOTICE("StartOne", "name:%s return:%d(%s)", name.c_str(), result.returnCode,
              result.returnMsg.c_str());
    return result;
}

TReturnResult TendletManager::StopOne(const std::string& name) {
    TReturnResult result;
    std::string msg;
    corvel::MutexLockGuard guard(mutex_);
    Tendlet* tendlet = Find(name);
    if (tendlet == nullptr) {
        SetNotExist(&result, name, "stop");
    } else if (!Refused(TReturnCode::ERROR_STOP_FAIL, false, &result)) {
        // A tendlet waiting for its (re)start is marked STOPED too, or the next
        // pass would start it again; a STARTING or CHECKING one may have a live
        // process, so it gets the stop action as well.
        const int status = tendlet->status();
        const bool idle = status == TTendletStatus::INIT || status == TTendletStatus::EXIT;
        if (idle || tendlet->MayBeAlive()) {
            if (!idle && !tendlet->Stop(*keeper_, &msg)) {
                SetActionFailure(&result, TReturnCode::ERROR_STOP_FAIL, *tendlet, msg);
            } else {
                tendlet->SetStatus(TTendletStatus::STOPED, "stoped");
                tendlet->SetStopTime(clock_());
            }
        }
    }
    TW_NOTICE("Stop", "name:%s return:%d(%s), keeper_msg:%s", name.c_str(), result.returnCode,
              result.returnMsg.c_str(), msg.c_str());
    return result;
}

TReturnResult TendletManager::ReloadOne(const std::string& name) {
    TReturnResult result;
    corvel::MutexLockGuard guard(mutex_);
    Tendlet* tendlet = Find(name);
    if (tendlet == nullptr) {
        SetNotExist(&result, name, "reload");
    } else if (!Refused(TReturnCode::ERROR_RELOD_FAIL, true, &result) && tendlet->IsRunning()) {
        std::string msg;
        if (tendlet->Reload(*keeper_, &msg)) {
            tendlet->SetReloadTime(clock_());
        } else {
            SetActionFailure(&result, TReturnCode::ERROR_RELOD_FAIL, *tendlet, msg);
        }
    }
    TW_NOTICE("Reload", "name:%s return:%d(%s)", name.c_str(), result.returnCode,
              result.returnMsg.c_str());
    return result;
}

TReturnResult TendletManager::RestartOne(const std::string& name) {
    TReturnResult result;
    corvel::MutexLockGuard guard(mutex_);
    Tendlet* tendlet = Find(name);
    if (tendlet == nullptr) {
        SetNotExist(&result, name, "restart");
    } else if (Refused(TReturnCode::ERROR_RESTART_FAIL, true, &result)) {
        // result already says why
    } else if (!tendlet->IsRunning()) {
        SetResult(&result, TReturnCode::ERROR_NOT_RUNNING, "name:" + name + " not running");
    } else {
        std::string msg;
        if (tendlet->Restart(*keeper_, &msg)) {
            MarkRestarted(tendlet, clock_(), false);
        } else {
            SetActionFailure(&result, TReturnCode::ERROR_RESTART_FAIL, *tendlet, msg);
        }
    }
    TW_NOTICE("Restart", "name:%s return:%d(%s)", name.c_str(), result.returnCode,
              result.returnMsg.c_str());
    return result;
}

TTendletStatusResponse TendletManager::CheckOne(const std::string& name) {
    TTendletStatusResponse response;
    corvel::MutexLockGuard guard(mutex_);
    const Tendlet* tendlet = Find(name);
    if (tendlet == nullptr) {
        SetNotExist(&response.returnInfo, name, "check");
    } else {
        response.statusInfo.emplace_back();
        tendlet->GetStatusInfo(&response.statusInfo.back());
    }
    TW_NOTICE("Check", "name:%s return:%d(%s)", name.c_str(), response.returnInfo.returnCode,
              response.returnInfo.returnMsg.c_str());
    return response;
}

void TendletManager::period() {
    TW_NOTICE("period", "main loop now, check gap:%d ...", period_ms_);
    std::map<std::string, ProcessKeeper::Process> processes;
    std::chrono::steady_clock::time_point due;
    bool periodic = true;
    while (keep_running_) {
        // The next periodic pass is due a period after this one began: after a
        // long pass (a thousand starts) the statuses are brought up to date at
        // once. A woken pass leaves that schedule as it is.
        const std::chrono::steady_clock::time_point begin = std::chrono::steady_clock::now();
        if (periodic) due = begin + std::chrono::milliseconds(period_ms_);
        {
            corvel::MutexLockGuard guard(mutex_);
            if (!keep_running_) {
                TW_NOTICE("period", "stop now, no need to check ..");
                break;
            }
            // Copied under the lock: a command between the copy and its use would
            // be undone by it, a tendlet it has just started taken for exited.
            processes.clear();
            keeper_->GetAll(&processes);
            MirrorKeeper(processes);
            StartDue(periodic ? kPeriodicStart : kWokenStart, begin);
        }
        periodic = WaitPeriod(due);
    }
    ShutdownKeeper();
    TW_NOTICE("period", "main loop exit...");
}

void TendletManager::ShutdownKeeper() {
    // Under the mutex, so that no command slips in between the shutdown and the flag.
    corvel::MutexLockGuard guard(mutex_);
    keeper_shut_ = true;
    if (!keeper_->Shutdown()) TW_WARNING("period", "shutdown process keeper fail.");
}

void TendletManager::MirrorKeeper(const std::map<std::string, ProcessKeeper::Process>& processes) {
    for (const auto& entry : processes) {
        const std::string& name = entry.first;
        const int state = entry.second.status;
        Tendlet* tendlet = Find(name);
        if (tendlet == nullptr) {
            // Kept but no longer configured, e.g. re-adopted from the state file.
            // The keeper refuses while the process runs; every pass tries again.
            std::string msg;
            keeper_->Remove(name, &msg);
            TW_WARNING("period", "%s is not exist? remove it,msg:%s", name.c_str(), msg.c_str());
            continue;
        }
        switch (state) {
        case ProcessKeeper::PROCESS_RUNNING:
            tendlet->SetStatusByInter(TTendletStatus::RUNNING, "running");
            break;
        case ProcessKeeper::PROCESS_STOPPED:
            tendlet->SetStatusByInter(TTendletStatus::EXIT, "exit");
            break;
        case ProcessKeeper::PROCESS_STARTING:
            tendlet->SetStatusByInter(TTendletStatus::STARTING, "starting");
            break;
        case ProcessKeeper::PROCESS_STOPPING:
            tendlet->SetStatusByInter(TTendletStatus::STOPPING, "stopping");
            break;
        default:
            break;
        }
        tendlet->SetCheckTime(clock_());
        TW_DEBUG("TEST", "check %s is %d from keeper", name.c_str(), state);
    }
}

void TendletManager::StartDue(int start, std::chrono::steady_clock::time_point pass) {
    std::vector<Tendlet*> due;
    for (const auto& entry : tendlets_) {
        // Periodic passes begin a period apart at least, so a series failing at once
        // goes at one start a period.
        if (entry.second->NeedLoopStart(start, pass, std::chrono::milliseconds(period_ms_))) {
            due.push_back(entry.second.get());
        } else {
            TW_DEBUG("TEST", "check %s not need start", entry.first.c_str());
        }
    }
    SortByPriority(&due);
    bool started = false;
    // Each priority is started as one batch, whose children all run after one
    // save, and only once the batch of the priority above runs.
    for (auto batch = due.begin(); batch != due.end();) {
        const int32_t priority = (*batch)->config().priority();
        const auto end = std::find_if(batch, due.end(), [priority](const Tendlet* tendlet) {
            return tendlet->config().priority() != priority;
        });
        const std::vector<Tendlet*> tendlets(batch, end);
        const std::vector<Tendlet::StartOutcome> outcomes = Tendlet::StartEach(*keeper_, tendlets);
        for (size_t i = 0; i < tendlets.size(); ++i) {
            Tendlet* tendlet = tendlets[i];
            if (outcomes[i] == Tendlet::kStarted) {
                tendlet->SetStatusByInter(TTendletStatus::STARTING, "starting");
                tendlet->SetStartTime(clock_());
                started = true;
                continue;
            }
            // A start the keeper refused (its record could not be saved, or no
            // thread, process or descriptor could be made for it) is tried again a
            // gap later, for as long as it takes; otherwise start_time stays: the
            // next gap is measured from the last real start.
            if (outcomes[i] == Tendlet::kRefused) tendlet->RefundStart(clock_());
            tendlet->SetStatusByInter(TTendletStatus::EXIT, "exit");
        }
        batch = end;
    }
    // The next pass, at once, shows what has started as running instead of a
    // period later; it starts nothing again before its gap has passed in real time,
    // nor before a period since this pass began.
    if (started) WakeLoop();
}

void TendletManager::EndLoop() {
    std::lock_guard<std::mutex> lock(loop_mutex_);
    keep_running_ = false;
    loop_wake_.notify_all();
}

void TendletManager::WakeLoop() {
    std::lock_guard<std::mutex> lock(loop_mutex_);
    loop_woken_ = true;
    loop_wake_.notify_all();
}

bool TendletManager::WaitPeriod(std::chrono::steady_clock::time_point due) {
    std::unique_lock<std::mutex> lock(loop_mutex_);
    loop_wake_.wait_until(lock, due, [this] { return !keep_running_ || loop_woken_; });
    // An exit reported from here on is seen by the next pass's copy of the table,
    // or wakes the loop again.
    loop_woken_ = false;
    return std::chrono::steady_clock::now() >= due;
}

}  // namespace tendwell
