// The tendlet record: status changes, the start rule with its retry budget,
// gaps and back-off, and the keeper actions' time-outs.
#include <gtest/gtest.h>

#include <chrono>
#include <limits>

#include "fake_keeper.h"
#include "test_util.h"
#include "tendwell_utility.h"

using namespace managertest;
using tendwell::kForcedStart;
using tendwell::kPeriodicStart;
using tendwell::kWokenStart;
using tendwell::PProcessConfigure;
using tendwell::Tendlet;
using tendwell::TTendletStatus;
using tendwell::TTendletStatusInfo;

namespace {

PProcessConfigure Retry(int times, int gap, int policy, int max_interval) {
    PProcessConfigure config = DefaultCheck("web");
    tendwell::PDefaultCheckType* check = config.mutable_default_check();
    check->set_start_retry_times(times);
    check->set_start_retry_gap_secs(gap);
    check->set_start_retry_policy(policy);
    check->set_start_retry_max_interval_secs(max_interval);
    return config;
}

class TendletRule : public ::testing::Test {
protected:
    // What the loop does around a decided start: the keeper confirms it, and
    // later reports the process gone.
    void StartedThenExited(Tendlet& tendlet) {
        tendlet.SetStartTime(clock.now);
        tendlet.SetStatusByInter(TTendletStatus::EXIT, "exit");
    }
    // Seconds the periodic rule waits before deciding a start, probed second by second.
    int64_t SecondsUntilStart(Tendlet& tendlet, int limit) {
        for (int waited = 0; waited <= limit; ++waited) {
            if (tendlet.NeedStart(kPeriodicStart)) return waited;
            clock.now += 1;
        }
        return -1;
    }
    // Periodic starts, one a second, until the tendlet turns FATAL.
    int StartsUntilFatal(Tendlet& tendlet) {
        int starts = 0;
        for (int pass = 0; pass < 100; ++pass) {
            clock.now += 1;
            if (tendlet.NeedStart(kPeriodicStart)) {
                ++starts;
                StartedThenExited(tendlet);
            } else if (tendlet.status() == TTendletStatus::FATAL) {
                break;
            }
        }
        return starts;
    }
    std::string Time(const Tendlet& tendlet) {
        TTendletStatusInfo info;
        tendlet.GetStatusInfo(&info);
        return info.time;
    }

    FakeClock clock;
};

TEST_F(TendletRule, ConstructionIsInitWithTheStartCommand) {
    Tendlet tendlet(UserCheck("job"), clock.fn());
    TTendletStatusInfo info;
    tendlet.GetStatusInfo(&info);
    EXPECT_EQ(info.status, TTendletStatus::INIT);
    EXPECT_EQ(info.msg, "init");
    EXPECT_EQ(info.name, "job");
    EXPECT_EQ(info.start_cmd, "start-job");
    EXPECT_EQ(info.time, tendwell::FormatTime(clock.now));
}

TEST_F(TendletRule, BudgetOfEightThenFatalUntilAForcedStartRefillsIt) {
    Tendlet tendlet(DefaultCheck("web"), clock.fn());
    EXPECT_EQ(StartsUntilFatal(tendlet), 8);
    TTendletStatusInfo info;
    tendlet.GetStatusInfo(&info);
    EXPECT_EQ(info.msg, "fatal");

    // Neither time (past the series interval) nor keeper reports revive it.
    clock.now += 1000;
    EXPECT_FALSE(tendlet.NeedStart(kPeriodicStart));
    tendlet.SetStatusByInter(TTendletStatus::RUNNING, "running");
    EXPECT_EQ(tendlet.status(), TTendletStatus::FATAL);

    ASSERT_TRUE(tendlet.NeedStart(kForcedStart));
    EXPECT_EQ(tendlet.status(), TTendletStatus::STARTING);
    StartedThenExited(tendlet);
    EXPECT_EQ(StartsUntilFatal(tendlet), 8);
}

TEST_F(TendletRule, NoBudgetMeansFatalAtOnceButAForcedStartStillRuns) {
    for (int times : {0, -1}) {
        Tendlet tendlet(Retry(times, 1, 0, 300), clock.fn());
        EXPECT_FALSE(tendlet.NeedStart(kPeriodicStart)) << times;
        EXPECT_EQ(tendlet.status(), TTendletStatus::FATAL) << times;
        EXPECT_TRUE(tendlet.NeedStart(kForcedStart)) << times;
        EXPECT_EQ(tendlet.status(), TTendletStatus::STARTING) << times;
    }
}

TEST_F(TendletRule, ARunningTendletIsNotForcedAgain) {
    Tendlet tendlet(DefaultCheck("web"), clock.fn());
    tendlet.SetStatus(TTendletStatus::RUNNING, "running");
    EXPECT_FALSE(tendlet.NeedStart(kForcedStart));
    EXPECT_FALSE(tendlet.NeedStart(kPeriodicStart));
    EXPECT_EQ(tendlet.status(), TTendletStatus::RUNNING);
}

TEST_F(TendletRule, FixedGapPassesOnEqualityAndWhenTheClockSteppedBack) {
    Tendlet tendlet(Retry(8, 5, 0, 300), clock.fn());
    ASSERT_TRUE(tendlet.NeedStart(kPeriodicStart));
    StartedThenExited(tendlet);
    EXPECT_EQ(SecondsUntilStart(tendlet, 20), 5);

    StartedThenExited(tendlet);
    clock.now -= 100;
    EXPECT_TRUE(tendlet.NeedStart(kPeriodicStart));
}

// A pass woken by an exit starts a tendlet only once its gap has passed in real
// time as well, and otherwise changes nothing, where a periodic pass would.
TEST_F(TendletRule, AWokenPassWaitsTheGapInRealTimeAndChangesNothingMeanwhile) {
    Tendlet tendlet(Retry(1, 1, 0, 300), clock.fn());
    ASSERT_TRUE(tendlet.NeedStart(kPeriodicStart));
    StartedThenExited(tendlet);
    const auto started = std::chrono::steady_clock::now();
    // Whole seconds say the gap has passed, and the budget is spent.
    clock.now += 5;
    EXPECT_FALSE(tendlet.NeedStart(kWokenStart));
    EXPECT_EQ(tendlet.status(), TTendletStatus::EXIT);
    EXPECT_FALSE(tendlet.NeedStart(kPeriodicStart));
    EXPECT_EQ(tendlet.status(), TTendletStatus::FATAL);

    ASSERT_TRUE(tendlet.NeedStart(kForcedStart));
    tendlet.SetStatusByInter(TTendletStatus::EXIT, "exit");
    clock.now += 1;
    // Only real time lets a woken pass start it, never before the gap.
    EXPECT_TRUE(testutil::WaitFor([&] { return tendlet.NeedStart(kWokenStart); }, 5000));
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    EXPECT_EQ(tendlet.status(), TTendletStatus::STARTING);
}

TEST_F(TendletRule, SeriesResetsOnlyAfterMoreThanTheMaxInterval) {
    for (int extra : {0, 1}) {
        clock.now = 1700000000;
        Tendlet tendlet(Retry(2, 1, 0, 10), clock.fn());
        const int64_t first = clock.now;
        ASSERT_TRUE(tendlet.NeedStart(kPeriodicStart));
        StartedThenExited(tendlet);
        clock.now += 1;
        ASSERT_TRUE(tendlet.NeedStart(kPeriodicStart));
        StartedThenExited(tendlet);

        clock.now = first + 10 + extra;
        EXPECT_EQ(tendlet.NeedStart(kPeriodicStart), extra == 1) << extra;
        EXPECT_EQ(tendlet.status(), extra == 1 ? TTendletStatus::STARTING : TTendletStatus::FATAL);
    }
}

TEST_F(TendletRule, AClockSteppedBackStartsANewSeries) {
    Tendlet tendlet(Retry(2, 1, 0, 10), clock.fn());
    for (int i = 0; i < 2; ++i) {
        clock.now += 1;
        ASSERT_TRUE(tendlet.NeedStart(kPeriodicStart));
        StartedThenExited(tendlet);
    }
    clock.now -= 3600;
    EXPECT_TRUE(tendlet.NeedStart(kPeriodicStart));
    EXPECT_EQ(tendlet.status(), TTendletStatus::STARTING);
}

TEST_F(TendletRule, ExponentialGapsDoubleFromOneAfterAForcedStart) {
    Tendlet tendlet(Retry(20, 2, 1, 100000), clock.fn());
    ASSERT_TRUE(tendlet.NeedStart(kForcedStart));
    StartedThenExited(tendlet);
    for (int expected : {1, 2, 4, 8, 16}) {
        EXPECT_EQ(SecondsUntilStart(tendlet, 40), expected);
        StartedThenExited(tendlet);
    }
}

TEST_F(TendletRule, ExponentialGapBeyondInt32SaturatesInsteadOfRestartingAtOnce) {
    const int32_t max = std::numeric_limits<int32_t>::max();
    Tendlet tendlet(Retry(20, 100000, 1, max), clock.fn());
    ASSERT_TRUE(tendlet.NeedStart(kForcedStart));
    StartedThenExited(tendlet);
    EXPECT_EQ(SecondsUntilStart(tendlet, 5), 1);  // 100000^0
    StartedThenExited(tendlet);
    clock.now += 99999;
    EXPECT_FALSE(tendlet.NeedStart(kPeriodicStart));
    clock.now += 1;
    ASSERT_TRUE(tendlet.NeedStart(kPeriodicStart));  // 100000^1
    StartedThenExited(tendlet);

    // 100000^2 is past the 32-bit range: the wait is the longest one, not none.
    for (int64_t later : {0LL, 86400LL, 10LL * 365 * 86400}) {
        clock.now += later;
        EXPECT_FALSE(tendlet.NeedStart(kPeriodicStart)) << later;
        EXPECT_EQ(tendlet.status(), TTendletStatus::EXIT);
    }
}

struct WindowCase {
    int window;
    int report_after;
    int expected;
};

void PrintTo(const WindowCase& c, std::ostream* os) {
    *os << "window " << c.window << " report after " << c.report_after;
}

class CheckingWindow : public TendletRule, public ::testing::WithParamInterface<WindowCase> {};

TEST_P(CheckingWindow, AnExitReportedEarlyShowsAsChecking) {
    const WindowCase c = GetParam();
    PProcessConfigure config = DefaultCheck("web");
    config.set_max_tolerate_check_gap_secs(c.window);
    Tendlet tendlet(config, clock.fn());
    const int64_t decided = clock.now;
    ASSERT_TRUE(tendlet.NeedStart(kForcedStart));
    tendlet.SetStartTime(decided);
    tendlet.SetStatusByInter(TTendletStatus::RUNNING, "running");

    clock.now = decided + c.report_after;
    tendlet.SetStatusByInter(TTendletStatus::EXIT, "exit");
    TTendletStatusInfo info;
    tendlet.GetStatusInfo(&info);
    EXPECT_EQ(info.status, c.expected);
    EXPECT_EQ(info.msg, c.expected == TTendletStatus::CHECKING ? "checking" : "exit");
    EXPECT_EQ(tendlet.NeedStart(kPeriodicStart), c.expected == TTendletStatus::EXIT);

    if (c.expected == TTendletStatus::CHECKING) {
        // The first report after the window turns it EXIT, and the retry rule applies.
        clock.now = decided + c.window;
        tendlet.SetStatusByInter(TTendletStatus::EXIT, "exit");
        EXPECT_EQ(tendlet.status(), TTendletStatus::EXIT);
        EXPECT_TRUE(tendlet.NeedStart(kPeriodicStart));
    }
}

INSTANTIATE_TEST_SUITE_P(Windows, CheckingWindow,
                         ::testing::Values(WindowCase{-1, 3, TTendletStatus::EXIT},
                                           WindowCase{10, 3, TTendletStatus::CHECKING},
                                           WindowCase{10, 9, TTendletStatus::CHECKING},
                                           WindowCase{10, 10, TTendletStatus::EXIT},
                                           WindowCase{0, 2, TTendletStatus::EXIT},
                                           // clock stepped back: the window is over
                                           WindowCase{10, -5, TTendletStatus::EXIT}));

TEST_F(TendletRule, ReportsLeaveStopedAloneAndTheRuleKeepsTheTime) {
    Tendlet tendlet(DefaultCheck("web"), clock.fn());
    clock.now += 5;
    tendlet.SetStatus(TTendletStatus::STOPED, "stoped");
    const std::string stopped_at = Time(tendlet);
    EXPECT_EQ(stopped_at, tendwell::FormatTime(clock.now));

    clock.now += 100;
    tendlet.SetStatus(TTendletStatus::STOPED, "other");  // same status: nothing changes
    for (int status : {TTendletStatus::RUNNING, TTendletStatus::EXIT, TTendletStatus::STARTING}) {
        tendlet.SetStatusByInter(status, "x");
        EXPECT_EQ(tendlet.status(), TTendletStatus::STOPED);
    }
    EXPECT_FALSE(tendlet.NeedStart(kPeriodicStart));
    EXPECT_EQ(Time(tendlet), stopped_at);

    ASSERT_TRUE(tendlet.NeedStart(kForcedStart));
    EXPECT_EQ(tendlet.status(), TTendletStatus::STARTING);
    EXPECT_EQ(Time(tendlet), stopped_at);
}

// The keeper actions: time-outs in milliseconds, saturated, with a negative
// setting falling back to the schema's default.
TEST(TendletActions, DefaultCheckStopWaitIsConvertedSafely) {
    const struct {
        int32_t secs;
        std::string ms;
    } cases[] = {{10, "10000"}, {3, "3000"}, {-10, "10000"}, {2147483647, "4294967295"}};
    for (const auto& c : cases) {
        FakeKeeper keeper;
        FakeClock clock;
        PProcessConfigure config = DefaultCheck("web");
        config.mutable_default_check()->set_stop_wait_secs(c.secs);
        Tendlet tendlet(config, clock.fn());
        std::string msg = "stale";
        EXPECT_TRUE(tendlet.Stop(keeper, &msg));
        EXPECT_EQ(msg, "web stoped.");
        EXPECT_TRUE(tendlet.Restart(keeper, &msg));
        EXPECT_EQ(keeper.calls(), (std::vector<std::string>{"stop web " + c.ms,
                                                            "restart web " + c.ms}));
    }
}

TEST(TendletActions, UserDefinedCommandsRunWithSafeTimeOuts) {
    FakeKeeper keeper;
    FakeClock clock;
    PProcessConfigure config = UserCheck("job");
    tendwell::PUserDefineCheckType* check = config.mutable_user_define_check();
    check->set_stop_timeout_secs(-5);
    check->set_reload_command("reload-job");
    check->set_reload_timeout_secs(3000000);
    check->set_restart_command("restart-job");
    check->set_check_internal_secs(4294967295u);
    check->set_check_timeout_secs(7);
    Tendlet tendlet(config, clock.fn());
    std::string msg;
    EXPECT_TRUE(tendlet.Stop(keeper, &msg));
    EXPECT_TRUE(tendlet.Reload(keeper, &msg));
    EXPECT_TRUE(tendlet.Restart(keeper, &msg));
    EXPECT_EQ(keeper.calls(), (std::vector<std::string>{"exec stop-job 10000",
                                                        "exec reload-job 2147483647",
                                                        "exec restart-job 10000"}));
    const ProcessKeeper::Process record = tendlet.KeeperRecord();
    EXPECT_EQ(record.command, "");
    EXPECT_EQ(record.start_command, "start-job");
    EXPECT_EQ(record.check_command, "check-job");
    EXPECT_EQ(record.check_interval_ms, 4294967295u);
    EXPECT_EQ(record.check_timeout_ms, 7000);
    EXPECT_EQ(Tendlet(UserCheck("plain"), clock.fn()).KeeperRecord().check_timeout_ms, 60000);

    keeper.exec_status = 256;
    msg = "stale";
    EXPECT_FALSE(tendlet.Stop(keeper, &msg));
    EXPECT_EQ(msg, "");
}

}  // namespace
