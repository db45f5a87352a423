// The owner of the tendlet records: the commands on all tendlets or one, and the
// periodic loop that mirrors the process keeper and restarts what has exited;
// with the keeper's production port.
#pragma once

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "corvel/mutex.h"
#include "tendwell/protocal/TendwellSlave_types.h"
#include "tendwell/protocal/TendwellConfigure.pb.h"
#include "tendwell_tendlet.h"

namespace tendwell {

// The production port: every call goes to the process-wide ProcessKeeper.
class ProcessKeeperPort final : public KeeperPort {
public:
    static ProcessKeeperPort* GetInstance();

    bool Init(const std::string& save_path, ProcessKeeper::ExitSink exited) override;
    void GetAll(std::map<std::string, ProcessKeeper::Process>* out) override;
    bool Add(const ProcessKeeper::Process& process, std::string* msg) override;
    bool Remove(const std::string& name, std::string* msg) override;
    bool Start(const std::string& name, uint32_t timeout_ms, std::string* msg,
               ProcessKeeper::StartFailure* failure) override;
    void StartEach(std::vector<ProcessKeeper::StartRequest>* starts, uint32_t timeout_ms) override;
    bool Stop(const std::string& name, uint32_t timeout_ms, std::string* msg) override;
    bool Restart(const std::string& name, uint32_t timeout_ms, std::string* msg,
                 ProcessKeeper::StartFailure* failure) override;
    bool Signal(const std::string& name, int signo, std::string* msg) override;
    int Exec(const std::string& command, int32_t timeout_ms) override;
    bool Shutdown() override;
};

class TendletManager {
public:
    static TendletManager* GetInstance();

    // keeper and clock are seams for tests; GetInstance uses the real keeper
    // and the system clock.
    TendletManager(KeeperPort* keeper, SecondsClock clock);
    ~TendletManager();
    TendletManager(const TendletManager&) = delete;
    TendletManager& operator=(const TendletManager&) = delete;

    // With the keeper: loads its state file, starts it and registers every
    // tendlet. 0, or -1 when the keeper cannot be initialised.
    int Init(const PConfigure& conf);
    // The records alone, for a client. Always 0.
    int InitWithoutProcessKeeper(const PConfigure& conf);
    void Clear();

    TReturnResult Start();
    TReturnResult Stop();
    TReturnResult Reload();
    TReturnResult Restart();
    TReturnResult Abort();
    TTendletStatusResponse Check();

    TReturnResult StartOne(const std::string& name);
    TReturnResult StopOne(const std::string& name);
    TReturnResult ReloadOne(const std::string& name);
    TReturnResult RestartOne(const std::string& name);
    TTendletStatusResponse CheckOne(const std::string& name);

    // The keeping loop; returns once keep_running is cleared, after shutting
    // the keeper down. Besides its passes every period, an exit the keeper
    // reports, or a pass that started something, wakes it for a pass at once.
    void period();
    // Saves the keeper's table and lets its runners go, leaving the processes
    // running; every command after it is refused. The loop ends with it, and so
    // does a command run in a client.
    void ShutdownKeeper();
    // Wakes the loop for a pass now; the keeper's threads call it too.
    void WakeLoop();

    bool keep_running() const { return keep_running_; }
    int32_t period_ms() const { return period_ms_; }

private:
    void AddTendlet(std::unique_ptr<Tendlet> tendlet, const std::string& keeper_msg);
    Tendlet* Find(const std::string& name) const;
    // True, with result filled, when a state-changing command may not run.
    bool Refused(int fail_code, bool refuse_when_stopping, TReturnResult* result) const;
    // A command's start of one tendlet: STARTING on success; on failure EXIT,
    // with result filled. new_series as for Tendlet::SetStartTime.
    bool StartTendlet(Tendlet* tendlet, bool new_series, TReturnResult* result);
    void MirrorKeeper(const std::map<std::string, ProcessKeeper::Process>& processes);
    // Starts what NeedLoopStart with the flag start finds due in the pass that
    // began at pass, one batch for each priority, highest first.
    void StartDue(int start, std::chrono::steady_clock::time_point pass);
    // Clears keep_running and wakes the loop from its wait.
    void EndLoop();
    // Waits until due, or less when the loop is ended or woken meanwhile; whether
    // due has come.
    bool WaitPeriod(std::chrono::steady_clock::time_point due);

    std::atomic<bool> keep_running_{true};
    // Held only for a moment, never with a command or a pass waiting on it.
    std::mutex loop_mutex_;
    std::condition_variable loop_wake_;
    // Set by WakeLoop, cleared when the loop's wait returns.
    bool loop_woken_ = false;
    int32_t period_ms_ = 1000;
    std::map<std::string, std::unique_ptr<Tendlet>> tendlets_;
    mutable corvel::Mutex mutex_;
    KeeperPort* keeper_;
    SecondsClock clock_;
    // Set once the loop has shut the keeper down; commands would act on nothing.
    bool keeper_shut_ = false;
};

}  // namespace tendwell
