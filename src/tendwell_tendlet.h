// One configured tendlet as the tendlet manager sees it: its configuration, the
// status shown to clients, what was last done to it and its start-retry series.
#pragma once

#include <stdint.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "keeper/process_keeper.h"
#include "tendwell/protocal/TendwellBase_types.h"
#include "tendwell/protocal/TendwellConfigure.pb.h"

namespace tendwell {

// The process-keeper operations a tendlet needs, behind an interface so that the
// manager's rules can be exercised without real processes.
class KeeperPort {
public:
    virtual ~KeeperPort() = default;
    // exited is told each time a kept process has ended, on a thread of the
    // keeper's; it must not block.
    virtual bool Init(const std::string& save_path, ProcessKeeper::ExitSink exited) = 0;
    virtual void GetAll(std::map<std::string, ProcessKeeper::Process>* out) = 0;
    virtual bool Add(const ProcessKeeper::Process& process, std::string* msg) = 0;
    virtual bool Remove(const std::string& name, std::string* msg) = 0;
    // On failure, *failure says why as far as the keeper knows.
    virtual bool Start(const std::string& name, uint32_t timeout_ms, std::string* msg,
                       ProcessKeeper::StartFailure* failure) = 0;
    // Starts each in the order given with one save for all (ProcessKeeper::StartEach).
    virtual void StartEach(std::vector<ProcessKeeper::StartRequest>* starts,
                           uint32_t timeout_ms) = 0;
    virtual bool Stop(const std::string& name, uint32_t timeout_ms, std::string* msg) = 0;
    virtual bool Restart(const std::string& name, uint32_t timeout_ms, std::string* msg,
                         ProcessKeeper::StartFailure* failure) = 0;
    virtual bool Signal(const std::string& name, int signo, std::string* msg) = 0;
    // Wait status of a shell command run with a time-out; 0 is success.
    virtual int Exec(const std::string& command, int32_t timeout_ms) = 0;
    virtual bool Shutdown() = 0;
};

// Seconds since the epoch; injectable so that the start rule can be tested.
using SecondsClock = std::function<int64_t()>;
int64_t SystemSeconds();

// Flags of NeedStart: a command's start, a periodic pass's, and that of a pass
// woken between them (by an exit, or right after starts), which also needs the
// retry gap in real time since the last start.
constexpr int kForcedStart = 1;
constexpr int kPeriodicStart = 0;
constexpr int kWokenStart = 2;

class Tendlet {
public:
    Tendlet(const PProcessConfigure& config, SecondsClock clock);

    const std::string& name() const { return name_; }
    const PProcessConfigure& config() const { return config_; }
    int status() const { return status_info_.status; }

    // A command's status change.
    void SetStatus(int status, const std::string& msg);
    // A status reported by the keeper or decided by the loop: never leaves
    // FATAL or STOPED, and shows an early exit as CHECKING.
    void SetStatusByInter(int status, const std::string& msg);
    void GetStatusInfo(TTendletStatusInfo* info) const;
    bool IsRunning() const;
    // RUNNING, STARTING or CHECKING: a process of it may be alive, so a stop
    // must reach it or the exiting daemon would orphan it.
    bool MayBeAlive() const;
    // The start rule: kForcedStart for a command, anything else for the loop. A
    // woken pass's start is refused, changing nothing, unless the gap has passed
    // both in whole seconds and in real time.
    bool NeedStart(int forced);
    // The loop's start rule, NeedStart (start), for a pass that began at pass: two
    // starts of the loop's, counted from the beginnings of their passes, are never
    // closer than period, whatever the retry gap and whatever woke the pass; until
    // then nothing changes. So a run that lasted a period is started again at once.
    bool NeedLoopStart(int start, std::chrono::steady_clock::time_point pass,
                       std::chrono::milliseconds period);

    void SetCheckTime(int64_t t);
    void SetStartingTime(int64_t t);
    // new_series false keeps first_retry_time, for one-tendlet commands.
    void SetStartTime(int64_t t, bool new_series = true);
    void SetStopTime(int64_t t);
    void SetRestartTime(int64_t t);
    void SetReloadTime(int64_t t);
    // A start the keeper refused at t: it does not count against the retry budget,
    // and the next is due a retry gap after it.
    void RefundStart(int64_t t);

    // The record this tendlet is registered under with the keeper.
    ProcessKeeper::Process KeeperRecord() const;

    // The keeper actions; each empties msg first and fills it with the keeper's words.
    // A start or restart that fails logs the keeper's reason.
    bool Start(KeeperPort& keeper, std::string* msg);
    // How a start of StartEach went.
    enum StartOutcome { kStarted, kNotStarted, kRefused };
    // Starts the tendlets in the order given with one save for all, each logged as
    // Start logs it; the outcome of each, in the same order.
    static std::vector<StartOutcome> StartEach(KeeperPort& keeper,
                                               const std::vector<Tendlet*>& tendlets);
    bool Stop(KeeperPort& keeper, std::string* msg);
    bool Reload(KeeperPort& keeper, std::string* msg);
    bool Restart(KeeperPort& keeper, std::string* msg);

private:
    struct RetrySettings {
        int32_t times;
        int32_t gap_secs;
        int32_t policy;
        int32_t max_interval_secs;
    };
    RetrySettings Retry() const;
    int32_t RetryGap(const RetrySettings& retry) const;
    bool NeedPeriodicStart(bool woken);
    // Whether the gap has passed in real time since the last start.
    bool GapPassedInRealTime(int32_t gap) const;
    void EnterStarting(int64_t now);
    // Logs a start's outcome; whether it started.
    bool Started(bool ok, const std::string& msg,
                 const ProcessKeeper::StartFailure& failure) const;
    uint32_t StopWaitMs() const;
    // Logs why the keeper could not start the process, when it knows.
    void LogStartFailure(const char* tag, const ProcessKeeper::StartFailure& failure) const;
    int ExecUserCommand(KeeperPort& keeper, const std::string& command, const char* field,
                        int32_t secs, int32_t default_secs) const;

    std::string name_;
    PProcessConfigure config_;
    TTendletStatusInfo status_info_;
    int64_t check_time_ = 0;
    int64_t start_time_ = 0;
    int64_t stop_time_ = 0;
    int64_t reload_time_ = 0;
    int64_t restart_time_ = 0;
    int64_t first_retry_time_ = 0;
    int64_t starting_time_ = 0;
    int32_t start_number_ = 0;
    // Monotonic time of the last start or start decision; 0 before the first.
    uint64_t start_ns_ = 0;
    // Beginning of the pass that last decided to start it; unset before the first.
    std::optional<std::chrono::steady_clock::time_point> loop_start_pass_;
    SecondsClock clock_;
};

}  // namespace tendwell
