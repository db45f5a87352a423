// The tendlet manager's loop driving the real process keeper and real processes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>
#include <vector>

#include "fake_keeper.h"
#include "tendwell_tendlet_manager.h"
#include "test_util.h"

using managertest::DefaultCheck;
using tendwell::PProcessConfigure;
using tendwell::ProcessKeeper;
using tendwell::TendletManager;
using tendwell::TTendletStatus;

namespace {

class ManagerKeeperTest : public ::testing::Test {
protected:
    void Init(const std::vector<PProcessConfigure>& processes, int period_ms = 1000) {
        ASSERT_EQ(manager.Init(managertest::ManagerConf(dir.path(), dir.path(), processes, period_ms)),
                  0);
        loop = std::thread([this] { manager.period(); });
    }
    void TearDown() override {
        manager.Abort();
        if (loop.joinable()) loop.join();
    }
    PProcessConfigure Tendlet(const std::string& name, const std::string& command,
                              int priority = -1) {
        PProcessConfigure config = DefaultCheck(name, priority);
        config.mutable_default_check()->set_start_command(command);
        config.mutable_default_check()->set_stop_wait_secs(2);
        return config;
    }
    int Status(const std::string& name) { return manager.CheckOne(name).statusInfo.at(0).status; }
    bool WaitStatus(const std::string& name, int status, int timeout_ms = 10000) {
        return testutil::WaitFor([&] { return Status(name) == status; }, timeout_ms);
    }
    // The keeper's pid of name while it runs, else -1; every pid seen is reaped at the end.
    pid_t KeptPid(const std::string& name) {
        std::map<std::string, ProcessKeeper::Process> table;
        ProcessKeeper::GetInstance()->GetAll(&table);
        const auto found = table.find(name);
        if (found == table.end() || found->second.status != ProcessKeeper::PROCESS_RUNNING) {
            return -1;
        }
        reaper.Add(found->second.pid);
        return found->second.pid;
    }

    testutil::TempDir dir;
    testutil::PidReaper reaper;
    TendletManager manager{tendwell::ProcessKeeperPort::GetInstance(), tendwell::SystemSeconds};
    std::thread loop;
};

TEST_F(ManagerKeeperTest, FirstPassStartsAllByPriorityAndAKilledOneComesBack) {
    Init({Tendlet("a", "exec sleep 100", 1), Tendlet("b", "exec sleep 100", 5),
          Tendlet("c", "exec sleep 100", 5)});
    for (const char* name : {"a", "b", "c"}) ASSERT_TRUE(WaitStatus(name, TTendletStatus::RUNNING));
    // A priority's tendlets start side by side, and only once those of the
    // priority above run, so pids follow the priorities.
    const pid_t a = KeptPid("a"), b = KeptPid("b"), c = KeptPid("c");
    EXPECT_LT(std::max(b, c), a);

    ASSERT_EQ(kill(-c, SIGKILL), 0);
    EXPECT_TRUE(testutil::WaitFor([&] { const pid_t now = KeptPid("c"); return now > 0 && now != c; },
                                  5000));
    EXPECT_FALSE(testutil::PidAlive(c));

    EXPECT_EQ(manager.Stop().returnCode, 0);
    loop.join();
    for (pid_t pid : {a, b}) EXPECT_TRUE(testutil::WaitFor([&] { return !testutil::PidAlive(pid); }, 3000));
}

// A tendlet that ran for a period is restarted on its exit, each time.
TEST_F(ManagerKeeperTest, AKilledTendletThatRanAPeriodComesBack) {
    PProcessConfigure web = Tendlet("web", "exec sleep 100");
    web.mutable_default_check()->set_start_retry_gap_secs(0);
    Init({web});
    ASSERT_TRUE(WaitStatus("web", TTendletStatus::RUNNING));
    for (int kill_number = 0; kill_number < 2; ++kill_number) {
        const pid_t pid = KeptPid("web");
        ASSERT_GT(pid, 1);
        // A run of a period: the loop's pace holds no restart back.
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        ASSERT_EQ(kill(-pid, SIGKILL), 0);
        EXPECT_TRUE(testutil::WaitFor(
            [&] {
                const pid_t now = KeptPid("web");
                return now > 0 && now != pid;
            },
            20000));
    }
    ASSERT_TRUE(WaitStatus("web", TTendletStatus::RUNNING));
}

// A tendlet that exits at once, with no retry gap, wakes the loop each time, yet is
// started again no sooner than a period after its last start: its runs note the
// monotonic clock.
TEST_F(ManagerKeeperTest, ATendletThatExitsAtOnceIsStartedOnceAPeriod) {
    const std::string runs = dir / "runs";
    PProcessConfigure ticker =
        Tendlet("ticker", "read -r up rest < /proc/uptime; echo $up >> " + runs + "; exit 3");
    ticker.mutable_default_check()->set_start_retry_gap_secs(0);
    ticker.mutable_default_check()->set_start_retry_times(1000000);
    Init({ticker});
    auto times = [&] {
        std::vector<double> seen;
        std::istringstream in(testutil::ReadFile(runs));
        for (double t; in >> t;) seen.push_back(t);
        return seen;
    };
    ASSERT_TRUE(testutil::WaitFor([&] { return times().size() >= 4; }, 20000));
    // A run notes its time a moment after its start, which a busy machine may stretch
    // for the first: a second is left for that.
    const std::vector<double> seen = times();
    EXPECT_GE(seen.back() - seen.front(), static_cast<double>(seen.size()) - 2) << seen.size();
}

TEST_F(ManagerKeeperTest, ATendletThatAlwaysExitsTurnsFatalAndStaysDown) {
    const std::string count = dir / "count";
    PProcessConfigure crash = Tendlet("crash", "echo x >> " + count + "; sleep 0.3; exit 3");
    crash.mutable_default_check()->set_start_retry_times(2);
    Init({crash});
    ASSERT_TRUE(WaitStatus("crash", TTendletStatus::FATAL));
    EXPECT_EQ(testutil::ReadFile(count), "x\nx\n");
    EXPECT_FALSE(testutil::WaitFor([&] { return testutil::ReadFile(count) != "x\nx\n"; }, 2500));
    EXPECT_EQ(Status("crash"), TTendletStatus::FATAL);
}

TEST_F(ManagerKeeperTest, StopOneHoldsAcrossPasses) {
    Init({Tendlet("web", "exec sleep 100")});
    ASSERT_TRUE(WaitStatus("web", TTendletStatus::RUNNING));
    const pid_t pid = KeptPid("web");
    EXPECT_EQ(manager.StopOne("web").returnCode, 0);
    EXPECT_EQ(Status("web"), TTendletStatus::STOPED);
    EXPECT_TRUE(testutil::WaitFor([&] { return !testutil::PidAlive(pid); }, 3000));
    EXPECT_FALSE(testutil::WaitFor([&] { return KeptPid("web") > 0; }, 2500));
    EXPECT_EQ(Status("web"), TTendletStatus::STOPED);
    EXPECT_TRUE(manager.keep_running());
}

TEST_F(ManagerKeeperTest, AbortEndsTheLoopPromptlyAndLeavesTheTendletRunning) {
    Init({Tendlet("web", "exec sleep 100")}, 10000);
    // The pass after a start, at once, shows it running.
    ASSERT_TRUE(WaitStatus("web", TTendletStatus::RUNNING));
    ASSERT_TRUE(testutil::WaitFor([&] { return KeptPid("web") > 0; }, 3000));
    const pid_t pid = KeptPid("web");

    const auto begin = std::chrono::steady_clock::now();
    manager.Abort();
    loop.join();
    const auto waited = std::chrono::steady_clock::now() - begin;
    // Far below the 10 s period that a sleep of one piece would wait out.
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count(), 3000);
    EXPECT_TRUE(testutil::PidAlive(pid));
    EXPECT_EQ(manager.StopOne("web").returnMsg, "process keeper is shut down");
}

}  // namespace
