// A scripted process keeper and a hand-set clock for the tendlet manager's tests.
#pragma once

#include <stdint.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "tendwell/protocal/TendwellConfigure.pb.h"
#include "tendwell_tendlet.h"

namespace managertest {

using tendwell::ProcessKeeper;

// Records every call as "<op> <name>[ <time-out>]" and answers as scripted; a
// started process shows as running in the table that GetAll returns, a stopped
// one as stopped. Safe to drive from a loop thread while the test inspects it.
class FakeKeeper : public tendwell::KeeperPort {
public:
    bool Init(const std::string& save_path, ProcessKeeper::ExitSink exited) override {
        Record("init " + save_path);
        std::lock_guard<std::mutex> lock(mutex_);
        exited_ = std::move(exited);
        return init_ok;
    }
    void GetAll(std::map<std::string, ProcessKeeper::Process>* out) override {
        Record("getall");
        {
            std::lock_guard<std::mutex> lock(mutex_);
            *out = table_;
        }
        if (after_getall) after_getall();
    }
    bool Add(const ProcessKeeper::Process& process, std::string* msg) override {
        Record("add " + process.name);
        std::lock_guard<std::mutex> lock(mutex_);
        added_.push_back(process);
        *msg += process.name + " added.";
        return true;
    }
    bool Remove(const std::string& name, std::string* msg) override {
        Record("remove " + name);
        std::lock_guard<std::mutex> lock(mutex_);
        const bool running = table_.count(name) && table_[name].status == 2;
        if (!running) table_.erase(name);
        *msg += name + (running ? " is running now, can't be removed." : " removed.");
        return !running;
    }
    bool Start(const std::string& name, uint32_t timeout_ms, std::string* msg,
               ProcessKeeper::StartFailure* failure) override {
        if (refused_starts.count(name)) {
            Record("start " + name + " " + std::to_string(timeout_ms));
            *msg += name + " started failed.";
            failure->refused = true;
            failure->reason = "save state file /data/x failed: No space left on device";
            return false;
        }
        return Act("start", name, timeout_ms, msg, failing_starts, " started.",
                   " started failed.", 2);
    }
    // Each start as Start would make it.
    void StartEach(std::vector<ProcessKeeper::StartRequest>* starts, uint32_t timeout_ms) override {
        for (ProcessKeeper::StartRequest& start : *starts) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (table_.count(start.name) && table_[start.name].status == 2) {
                    loop_started_running.push_back(start.name);
                }
            }
            start.started = Start(start.name, timeout_ms, &start.msg, &start.failure);
        }
    }
    bool Stop(const std::string& name, uint32_t timeout_ms, std::string* msg) override {
        return Act("stop", name, timeout_ms, msg, failing_stops, " stoped.",
                   " can't be stoped.", 0);
    }
    bool Restart(const std::string& name, uint32_t timeout_ms, std::string* msg,
                 ProcessKeeper::StartFailure*) override {
        return Act("restart", name, timeout_ms, msg, failing_restarts, " started.",
                   " started failed.", 2);
    }
    bool Signal(const std::string& name, int signo, std::string* msg) override {
        Record("signal " + name + " " + std::to_string(signo));
        const bool ok = !failing_signals.count(name);
        *msg += name + (ok ? " signaled." : " signaled failed.");
        return ok;
    }
    int Exec(const std::string& command, int32_t timeout_ms) override {
        Record("exec " + command + " " + std::to_string(timeout_ms));
        return exec_status;
    }
    bool Shutdown() override {
        Record("shutdown");
        return true;
    }

    // A process that ends by itself: stopped in the table, and told as the keeper
    // tells it.
    void Exit(const std::string& name) {
        SetState(name, 0);
        ProcessKeeper::ExitSink exited;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            exited = exited_;
        }
        if (exited) exited();
    }
    void SetProcess(const ProcessKeeper::Process& process) {
        std::lock_guard<std::mutex> lock(mutex_);
        table_[process.name] = process;
    }
    void SetState(const std::string& name, int status) {
        std::lock_guard<std::mutex> lock(mutex_);
        table_[name].name = name;
        table_[name].status = status;
        table_[name].running = status == 2;
    }
    std::vector<std::string> calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    // The calls whose text begins with prefix, in order.
    std::vector<std::string> calls(const std::string& prefix) {
        std::vector<std::string> out;
        for (const std::string& call : calls()) {
            if (call.compare(0, prefix.size(), prefix) == 0) out.push_back(call);
        }
        return out;
    }
    std::vector<ProcessKeeper::Process> added() {
        std::lock_guard<std::mutex> lock(mutex_);
        return added_;
    }

    bool init_ok = true;
    int exec_status = 0;
    std::set<std::string> failing_starts, failing_stops, failing_restarts, failing_signals;
    // Starts refused as when the state file cannot be saved.
    std::set<std::string> refused_starts;
    // Called once a copy of the table is made, before it is handed back.
    std::function<void()> after_getall;
    // What a pass started that the table showed running already.
    std::vector<std::string> loop_started_running;

private:
    void Record(const std::string& call) {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(call);
    }
    bool Act(const char* op, const std::string& name, uint32_t timeout_ms, std::string* msg,
             const std::set<std::string>& failing, const char* ok_words, const char* fail_words,
             int state_after) {
        Record(std::string(op) + " " + name + " " + std::to_string(timeout_ms));
        const bool ok = !failing.count(name);
        *msg += name + (ok ? ok_words : fail_words);
        if (ok) SetState(name, state_after);
        return ok;
    }

    std::mutex mutex_;
    std::map<std::string, ProcessKeeper::Process> table_;
    std::vector<std::string> calls_;
    std::vector<ProcessKeeper::Process> added_;
    ProcessKeeper::ExitSink exited_;
};

// A clock the test sets by hand.
struct FakeClock {
    std::atomic<int64_t> now{1700000000};
    tendwell::SecondsClock fn() {
        return [this] { return now.load(); };
    }
};

// A tendlet with a default check and the schema's retry settings.
inline tendwell::PProcessConfigure DefaultCheck(const std::string& name, int priority = -1) {
    tendwell::PProcessConfigure config;
    config.set_name(name);
    config.set_priority(priority);
    config.mutable_default_check()->set_start_command("sleep 100 # " + name);
    return config;
}

inline tendwell::PProcessConfigure UserCheck(const std::string& name) {
    tendwell::PProcessConfigure config;
    config.set_name(name);
    tendwell::PUserDefineCheckType* check = config.mutable_user_define_check();
    check->set_start_command("start-" + name);
    check->set_check_command("check-" + name);
    check->set_stop_command("stop-" + name);
    return config;
}

// A configuration of processes with log and data under the given directories.
inline tendwell::PConfigure ManagerConf(const std::string& log_path, const std::string& data_dir,
                                        const std::vector<tendwell::PProcessConfigure>& processes,
                                        int period_ms) {
    tendwell::PConfigure conf;
    conf.mutable_tendwell()->set_log_path(log_path);
    conf.mutable_tendwell()->set_data_dir(data_dir);
    conf.set_period_check_gap_msec(period_ms);
    for (const tendwell::PProcessConfigure& process : processes) *conf.add_process() = process;
    return conf;
}

}  // namespace managertest
