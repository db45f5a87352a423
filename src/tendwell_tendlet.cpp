#include "tendwell_tendlet.h"

#include <math.h>
#include <time.h>

#include <limits>

#include "corvel/clock.h"
#include "tendwell_utility.h"

namespace tendwell {

namespace {

// The keeper's wait for a start to be confirmed.
constexpr uint32_t kStartTimeoutMs = 2000;

// A configured time-out in seconds. A negative one would turn into a wait of weeks
// in the keeper (or no limit at all for a shell command) held under both locks, so
// it falls back to the schema's default.
int32_t TimeoutSecs(const std::string& name, const char* field, int32_t secs,
                    int32_t default_secs) {
    if (secs < 0) {
        TW_WARNING("TimeoutMs", "name:%s %s:%d is negative, use the default %d", name.c_str(),
                   field, secs, default_secs);
        return default_secs;
    }
    return secs;
}

}  // namespace

int64_t SystemSeconds() {
    return static_cast<int64_t>(time(nullptr));
}

Tendlet::Tendlet(const PProcessConfigure& config, SecondsClock clock)
    : name_(config.name()), config_(config), clock_(std::move(clock)) {
    status_info_.name = name_;
    status_info_.start_cmd = config_.has_default_check()
                                 ? config_.default_check().start_command()
                                 : config_.user_define_check().start_command();
    status_info_.status = TTendletStatus::INIT;
    status_info_.msg = "init";
    status_info_.time = FormatTime(static_cast<time_t>(clock_()));
}

void Tendlet::SetStatus(int status, const std::string& msg) {
    if (status == status_info_.status) return;
    status_info_.status = status;
    status_info_.msg = msg;
    status_info_.time = FormatTime(static_cast<time_t>(clock_()));
    TW_NOTICE("SetStatus", "set name:%s to status:%d(%s)", name_.c_str(), status, msg.c_str());
}

void Tendlet::SetStatusByInter(int status, const std::string& msg) {
    const int current = status_info_.status;
    if (status == current || current == TTendletStatus::FATAL ||
        current == TTendletStatus::STOPED) {
        return;
    }
    const int64_t now = clock_();
    const int32_t window = config_.max_tolerate_check_gap_secs();
    const int64_t since_starting = now - starting_time_;
    // A clock stepped back closes the window: waiting for it to catch up could
    // keep a dead tendlet from being restarted for as long as the step.
    if (window != -1 && status == TTendletStatus::EXIT && since_starting >= 0 &&
        since_starting < window) {
        status_info_.status = TTendletStatus::CHECKING;
        status_info_.msg = "checking";
    } else {
        status_info_.status = status;
        status_info_.msg = msg;
    }
    status_info_.time = FormatTime(static_cast<time_t>(now));
    TW_NOTICE("SetStatusByInter", "set name:%s to status:%d(%s)", name_.c_str(),
              status_info_.status, status_info_.msg.c_str());
}

void Tendlet::GetStatusInfo(TTendletStatusInfo* info) const {
    *info = status_info_;
}

bool Tendlet::IsRunning() const {
    return status_info_.status == TTendletStatus::RUNNING;
}

bool Tendlet::MayBeAlive() const {
    const int status = status_info_.status;
    return status == TTendletStatus::RUNNING || status == TTendletStatus::STARTING ||
           status == TTendletStatus::CHECKING;
}

bool Tendlet::NeedStart(int forced) {
    if (forced != kForcedStart) return NeedPeriodicStart(forced == kWokenStart);
    if (IsRunning()) {
        TW_NOTICE("NeedStart", "%s is running, no need start", name_.c_str());
        return false;
    }
    EnterStarting(clock_());
    start_number_ = 0;
    return true;
}

bool Tendlet::NeedLoopStart(int start, std::chrono::steady_clock::time_point pass,
                            std::chrono::milliseconds period) {
    if (loop_start_pass_ && pass - *loop_start_pass_ < period) {
        const auto since =
            std::chrono::duration_cast<std::chrono::milliseconds>(pass - *loop_start_pass_);
        TW_DEBUG("NeedStart", "name:%s started by a pass %lld ms before this one, period:%lld ms",
                 name_.c_str(), static_cast<long long>(since.count()),
                 static_cast<long long>(period.count()));
        return false;
    }
    if (!NeedStart(start)) return false;
    loop_start_pass_ = pass;
    return true;
}

bool Tendlet::NeedPeriodicStart(bool woken) {
    const int status = status_info_.status;
    if (status != TTendletStatus::INIT && status != TTendletStatus::EXIT) {
        TW_DEBUG("NeedStart", "name:%s is in %d status, start_time:%lld, start_number:%d",
                 name_.c_str(), status, static_cast<long long>(start_time_), start_number_);
        return false;
    }
    const RetrySettings retry = Retry();
    const int32_t gap = RetryGap(retry);
    if (config_.has_default_check()) {
        TW_DEBUG("TEST", "name:%s start_gap:%d start_number:%d retry_gap:%d", name_.c_str(), gap,
                 start_number_, retry.gap_secs);
    }
    const int64_t now = clock_();
    const int64_t elapsed = now - start_time_;
    // A clock stepped back counts as the gap having passed, for the same reason
    // as the CHECKING window above.
    const bool gap_passed = elapsed < 0 || elapsed >= gap;
    // A woken pass changes nothing, not even the series, where it does not start:
    // the periodic passes then go on as if it had not been.
    if (woken && (!gap_passed || !GapPassedInRealTime(gap))) {
        TW_DEBUG("NeedStart", "name:%s not yet for a woken pass, curr:%lld gap:%d start_time:%lld",
                 name_.c_str(), static_cast<long long>(now), gap,
                 static_cast<long long>(start_time_));
        return false;
    }
    // A clock stepped back ends the series as well: until the clock caught up
    // again, starts spread over far more than the interval would all count
    // against one budget and turn a healthy tendlet FATAL.
    const int64_t series_age = now - first_retry_time_;
    if (first_retry_time_ > 0 && (series_age > retry.max_interval_secs || series_age < 0)) {
        start_number_ = 0;
    }
    if (!gap_passed) {
        TW_DEBUG("NeedStart", "name:%s start_number:%d curr:%lld gap:%d start_time:%lld",
                 name_.c_str(), start_number_, static_cast<long long>(now), gap,
                 static_cast<long long>(start_time_));
        return false;
    }
    const int32_t old = start_number_;
    start_number_ = old + 1;
    if (old < retry.times) {
        TW_NOTICE("NeedStart",
                  "name:%s is in status:%d(%s),start_number:%d gap:%d,curr:%lld,start_time:%lld "
                  "need start.",
                  name_.c_str(), status, status_info_.msg.c_str(), start_number_, gap,
                  static_cast<long long>(now), static_cast<long long>(start_time_));
        EnterStarting(now);
        return true;
    }
    status_info_.status = TTendletStatus::FATAL;
    status_info_.msg = "fatal";
    TW_WARNING("NeedStart",
               "name:%s in in fatal %d now, start_number:%d, max_retry:%d start_time:%lld, "
               "start_gap:%d",
               name_.c_str(), TTendletStatus::FATAL, start_number_, retry.times,
               static_cast<long long>(start_time_), gap);
    return false;
}

bool Tendlet::GapPassedInRealTime(int32_t gap) const {
    if (start_ns_ == 0 || gap <= 0) return true;
    return corvel::monotonic_ns() - start_ns_ >= static_cast<uint64_t>(gap) * 1000000000u;
}

void Tendlet::EnterStarting(int64_t now) {
    start_ns_ = corvel::monotonic_ns();
    status_info_.status = TTendletStatus::STARTING;
    status_info_.msg = "starting";
    SetStartingTime(now);
}

Tendlet::RetrySettings Tendlet::Retry() const {
    if (config_.has_default_check()) {
        const PDefaultCheckType& check = config_.default_check();
        return {check.start_retry_times(), check.start_retry_gap_secs(),
                check.start_retry_policy(), check.start_retry_max_interval_secs()};
    }
    const PUserDefineCheckType& check = config_.user_define_check();
    return {check.start_retry_times(), check.start_retry_gap_secs(), check.start_retry_policy(),
            check.start_retry_max_interval_secs()};
}

int32_t Tendlet::RetryGap(const RetrySettings& retry) const {
    if (retry.policy == 0) return retry.gap_secs;
    // Beyond the 32-bit range the back-off saturates instead of wrapping into an
    // immediate restart.
    const double gap = pow(static_cast<double>(retry.gap_secs), start_number_);
    if (gap >= static_cast<double>(std::numeric_limits<int32_t>::max())) {
        return std::numeric_limits<int32_t>::max();
    }
    if (gap <= static_cast<double>(std::numeric_limits<int32_t>::min())) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(gap);
}

void Tendlet::SetCheckTime(int64_t t) {
    check_time_ = t;
    TW_DEBUG("SetCheckTime", "set name:%s to %lld", name_.c_str(), static_cast<long long>(t));
}

void Tendlet::SetStartingTime(int64_t t) {
    starting_time_ = t;
    TW_DEBUG("SetStartingTime", "set name:%s to %lld", name_.c_str(), static_cast<long long>(t));
}

void Tendlet::SetStartTime(int64_t t, bool new_series) {
    start_time_ = t;
    start_ns_ = corvel::monotonic_ns();
    TW_NOTICE("SetStartTime", "set name:%s to %lld", name_.c_str(), static_cast<long long>(t));
    if (new_series && start_number_ < 2) {
        first_retry_time_ = t;
        TW_NOTICE("SetFirstRetryTime", "set name:%s to %lld", name_.c_str(),
                  static_cast<long long>(t));
    }
}

void Tendlet::SetStopTime(int64_t t) {
    stop_time_ = t;
    TW_NOTICE("SetStopTime", "set name:%s to %lld", name_.c_str(), static_cast<long long>(t));
}

void Tendlet::SetRestartTime(int64_t t) {
    restart_time_ = t;
    TW_NOTICE("SetRestartTime", "set name:%s to %lld", name_.c_str(), static_cast<long long>(t));
}

void Tendlet::RefundStart(int64_t t) {
    if (start_number_ > 0) --start_number_;
    start_time_ = t;
    start_ns_ = corvel::monotonic_ns();
    TW_NOTICE("RefundStart", "set name:%s start_number:%d start_time:%lld", name_.c_str(),
              start_number_, static_cast<long long>(t));
}

void Tendlet::SetReloadTime(int64_t t) {
    reload_time_ = t;
    TW_NOTICE("SetReloadTime", "set name:%s to %lld", name_.c_str(), static_cast<long long>(t));
}

ProcessKeeper::Process Tendlet::KeeperRecord() const {
    if (config_.has_default_check()) {
        return ProcessKeeper::Process(name_, config_.default_check().start_command());
    }
    const PUserDefineCheckType& check = config_.user_define_check();
    TW_NOTICE("Init", "add %s start:%s check:%s", name_.c_str(), check.start_command().c_str(),
              check.check_command().c_str());
    ProcessKeeper::Process record(name_, check.start_command(), check.check_command(),
                                  SecondsToMs<uint32_t>(check.check_internal_secs()));
    if (check.has_check_timeout_secs()) {
        record.check_timeout_ms = SecondsToMs<int32_t>(
            TimeoutSecs(name_, "check_timeout_secs", check.check_timeout_secs(),
                        ProcessKeeper::Process::kDefaultCheckTimeoutMs / 1000));
    }
    return record;
}

uint32_t Tendlet::StopWaitMs() const {
    return SecondsToMs<uint32_t>(TimeoutSecs(name_, "stop_wait_secs",
                                             config_.default_check().stop_wait_secs(),
                                             PDefaultCheckType::default_instance().stop_wait_secs()));
}

int Tendlet::ExecUserCommand(KeeperPort& keeper, const std::string& command, const char* field,
                             int32_t secs, int32_t default_secs) const {
    return keeper.Exec(command, SecondsToMs<int32_t>(TimeoutSecs(name_, field, secs, default_secs)));
}

bool Tendlet::Start(KeeperPort& keeper, std::string* msg) {
    msg->clear();
    ProcessKeeper::StartFailure failure;
    return Started(keeper.Start(name_, kStartTimeoutMs, msg, &failure), *msg, failure);
}

std::vector<Tendlet::StartOutcome> Tendlet::StartEach(KeeperPort& keeper,
                                                      const std::vector<Tendlet*>& tendlets) {
    std::vector<ProcessKeeper::StartRequest> starts(tendlets.size());
    for (size_t i = 0; i < tendlets.size(); ++i) starts[i].name = tendlets[i]->name_;
    keeper.StartEach(&starts, kStartTimeoutMs);
    std::vector<StartOutcome> outcomes;
    for (size_t i = 0; i < tendlets.size(); ++i) {
        const ProcessKeeper::StartRequest& start = starts[i];
        if (tendlets[i]->Started(start.started, start.msg, start.failure)) {
            outcomes.push_back(kStarted);
        } else {
            outcomes.push_back(start.failure.refused ? kRefused : kNotStarted);
        }
    }
    return outcomes;
}

bool Tendlet::Started(bool ok, const std::string& msg,
                      const ProcessKeeper::StartFailure& failure) const {
    TW_NOTICE("Start", "%s start return:%d(%s)", name_.c_str(), ok, msg.c_str());
    if (!ok) LogStartFailure("Start", failure);
    return ok;
}

void Tendlet::LogStartFailure(const char* tag, const ProcessKeeper::StartFailure& failure) const {
    if (failure.reason.empty()) return;
    TW_WARNING(tag, "%s not started: %s", name_.c_str(), failure.reason.c_str());
}

bool Tendlet::Stop(KeeperPort& keeper, std::string* msg) {
    msg->clear();
    TW_NOTICE("Stop", "%s begin to stop.", name_.c_str());
    bool ok = false;
    if (config_.has_default_check()) {
        ok = keeper.Stop(name_, StopWaitMs(), msg);
    } else {
        const PUserDefineCheckType& check = config_.user_define_check();
        const int ret = ExecUserCommand(keeper, check.stop_command(), "stop_timeout_secs",
                                        check.stop_timeout_secs(),
                                        PUserDefineCheckType::default_instance().stop_timeout_secs());
        ok = ret == 0;
        if (!ok) {
            TW_WARNING("Stop", "%s exec %s return %d", name_.c_str(), check.stop_command().c_str(),
                       ret);
        }
    }
    TW_NOTICE("Stop", "%s stop return:%d(%s)", name_.c_str(), ok, msg->c_str());
    return ok;
}

bool Tendlet::Reload(KeeperPort& keeper, std::string* msg) {
    msg->clear();
    bool ok = false;
    const PUserDefineCheckType& check = config_.user_define_check();
    if (config_.has_default_check()) {
        ok = keeper.Signal(name_, config_.default_check().reload_signal(), msg);
    } else if (!check.has_reload_command()) {
        *msg = " no reload cmd";
    } else {
        const int ret = ExecUserCommand(
            keeper, check.reload_command(), "reload_timeout_secs", check.reload_timeout_secs(),
            PUserDefineCheckType::default_instance().reload_timeout_secs());
        ok = ret == 0;
        if (!ok) {
            TW_WARNING("Reload", "%s reload cmd:%s ret:%d", name_.c_str(),
                       check.reload_command().c_str(), ret);
        }
    }
    TW_NOTICE("Reload", "%s reload return:%d(%s)", name_.c_str(), ok, msg->c_str());
    return ok;
}

bool Tendlet::Restart(KeeperPort& keeper, std::string* msg) {
    msg->clear();
    bool ok = false;
    const PUserDefineCheckType& check = config_.user_define_check();
    if (config_.has_default_check()) {
        ProcessKeeper::StartFailure failure;
        ok = keeper.Restart(name_, StopWaitMs(), msg, &failure);
        if (!ok) LogStartFailure("Restart", failure);
    } else if (!check.has_restart_command()) {
        *msg = " no restart cmd";
    } else {
        const int ret = ExecUserCommand(
            keeper, check.restart_command(), "restart_timeout_secs", check.restart_timeout_secs(),
            PUserDefineCheckType::default_instance().restart_timeout_secs());
        ok = ret == 0;
        if (!ok) {
            TW_WARNING("Restart", "%s restart cmd:%s return:%d", name_.c_str(),
                       check.restart_command().c_str(), ret);
        }
    }
    TW_NOTICE("Restart", "%s restart return:%d(%s)", name_.c_str(), ok, msg->c_str());
    return ok;
}

}  // namespace tendwell
