// The tendlet manager's commands and keeping loop against a scripted keeper.
#include <gtest/gtest.h>

#include <thread>

#include "fake_keeper.h"
#include "tendwell_tendlet_manager.h"
#include "test_util.h"

using namespace managertest;
using tendwell::PConfigure;
using tendwell::PProcessConfigure;
using tendwell::TendletManager;
using tendwell::TReturnResult;
using tendwell::TTendletStatus;
using Calls = std::vector<std::string>;

namespace {

class ManagerTest : public ::testing::Test {
protected:
    void Init(const std::vector<PProcessConfigure>& processes,
              const std::set<std::string>& running = {}, int period_ms = 1000) {
        for (const std::string& name : running) keeper.SetState(name, 2);
        ASSERT_EQ(manager.Init(ManagerConf("/log", "/data", processes, period_ms)), 0);
    }
    // a (priority 1), b and c (priority 5).
    void InitAbc(const std::set<std::string>& running = {}) {
        Init({DefaultCheck("a", 1), DefaultCheck("b", 5), DefaultCheck("c", 5)}, running);
    }
    int Status(const std::string& name) { return manager.CheckOne(name).statusInfo.at(0).status; }
    void Expect(const TReturnResult& result, int code, const std::string& msg) {
        EXPECT_EQ(result.returnCode, code);
        EXPECT_EQ(result.returnMsg, msg);
    }
    // Runs the loop on its own thread until pred holds, then aborts it.
    bool RunLoopUntil(const std::function<bool()>& pred) {
        std::thread loop([this] { manager.period(); });
        const bool held = testutil::WaitFor(pred, 10000);
        manager.Abort();
        loop.join();
        return held;
    }
    size_t Passes() { return keeper.calls("getall").size(); }

    FakeKeeper keeper;
    FakeClock clock;
    TendletManager manager{&keeper, clock.fn()};
};

TEST_F(ManagerTest, InitRegistersEveryTendletAndAdoptsWhatRuns) {
    PProcessConfigure job = UserCheck("job");
    PProcessConfigure first = DefaultCheck("web");
    first.mutable_default_check()->set_start_command("old");
    Init({first, job, DefaultCheck("web")}, {"web"}, 500);
    EXPECT_EQ(manager.period_ms(), 1000);
    EXPECT_EQ(keeper.calls(), (Calls{"init /data/tendwell_process_keeper.save", "getall",
                                     "add web", "add job", "add web"}));
    const std::vector<ProcessKeeper::Process> added = keeper.added();
    EXPECT_EQ(added[0].command, "old");
    EXPECT_EQ(added[1].check_command, "check-job");
    EXPECT_EQ(added[1].check_interval_ms, 5000u);
    EXPECT_EQ(added[2].command, "sleep 100 # web");

    const tendwell::TTendletStatusResponse all = manager.Check();
    ASSERT_EQ(all.statusInfo.size(), 2u);  // the later web replaced the first
    EXPECT_EQ(all.statusInfo[0].name, "job");
    EXPECT_EQ(all.statusInfo[0].status, TTendletStatus::INIT);
    EXPECT_EQ(all.statusInfo[1].start_cmd, "sleep 100 # web");
    EXPECT_EQ(all.statusInfo[1].status, TTendletStatus::RUNNING);
}

TEST_F(ManagerTest, PeriodIsAtLeastOneSecondAndAFailingKeeperFailsInit) {
    for (int period : {1000, 1500}) {
        Init({DefaultCheck("web")}, {}, period);
        EXPECT_EQ(manager.period_ms(), period);
    }
    keeper.init_ok = false;
    PConfigure conf;
    *conf.add_process() = DefaultCheck("web");
    EXPECT_EQ(manager.Init(conf), -1);
    EXPECT_TRUE(manager.Check().statusInfo.empty());

    EXPECT_EQ(manager.InitWithoutProcessKeeper(conf), 0);
    EXPECT_EQ(Status("web"), TTendletStatus::INIT);
}

TEST_F(ManagerTest, StartGoesByDescendingPriorityAndStopInReverse) {
    InitAbc();
    Expect(manager.Start(), 0, "OK");
    EXPECT_EQ(keeper.calls("start"), (Calls{"start b 2000", "start c 2000", "start a 2000"}));
    for (const char* name : {"a", "b", "c"}) EXPECT_EQ(Status(name), TTendletStatus::STARTING);

    InitAbc({"a", "b", "c"});
    Expect(manager.Start(), 0, "OK");
    EXPECT_EQ(keeper.calls("start").size(), 3u);  // nothing more started
    Expect(manager.Stop(), 0, "OK");
    EXPECT_EQ(keeper.calls("stop"), (Calls{"stop a 10000", "stop c 10000", "stop b 10000"}));
    for (const char* name : {"a", "b", "c"}) EXPECT_EQ(Status(name), TTendletStatus::STOPED);
    EXPECT_FALSE(manager.keep_running());
}

TEST_F(ManagerTest, StopsReachTendletsStillStarting) {
    InitAbc();
    Expect(manager.Start(), 0, "OK");  // STARTING until the next pass sees them run
    Expect(manager.StopOne("b"), 0, "OK");
    Expect(manager.Stop(), 0, "OK");
    EXPECT_EQ(keeper.calls("stop"), (Calls{"stop b 10000", "stop a 10000", "stop c 10000"}));
    for (const char* name : {"a", "b", "c"}) EXPECT_EQ(Status(name), TTendletStatus::STOPED);
}

TEST_F(ManagerTest, AFailedStopOfATendletStillStartingNeitherEndsNorFailsTheStop) {
    // job (lowest priority, stopped first) has no process yet for its stop
    // command to find; web runs.
    PProcessConfigure job = UserCheck("job");
    job.set_priority(-5);
    Init({job, DefaultCheck("web", 5)}, {"web"});
    Expect(manager.StartOne("job"), 0, "OK");
    keeper.exec_status = 1;
    Expect(manager.Stop(), 0, "OK");
    EXPECT_EQ(keeper.calls("exec"), (Calls{"exec stop-job 10000"}));
    EXPECT_EQ(keeper.calls("stop"), (Calls{"stop web 10000"}));
    EXPECT_EQ(Status("job"), TTendletStatus::STARTING);
    EXPECT_EQ(Status("web"), TTendletStatus::STOPED);
    EXPECT_FALSE(manager.keep_running());
}

TEST_F(ManagerTest, TheFirstFailureEndsAWalkButAStopOfAllGoesOn) {
    InitAbc();
    keeper.failing_starts = {"c"};
    Expect(manager.Start(), 9, "name:c c started failed.");
    EXPECT_EQ(keeper.calls("start"), (Calls{"start b 2000", "start c 2000"}));
    EXPECT_EQ(Status("b"), TTendletStatus::STARTING);
    EXPECT_EQ(Status("c"), TTendletStatus::EXIT);
    EXPECT_EQ(Status("a"), TTendletStatus::STARTING);  // collected, never visited

    InitAbc({"a", "b", "c"});
    keeper.failing_restarts = {"b"};
    Expect(manager.Restart(), 23, "name:b b started failed.");
    EXPECT_EQ(keeper.calls("restart"), (Calls{"restart a 10000", "restart b 10000"}));

    // Every tendlet is tried; the result is the first failure's.
    keeper.failing_stops = {"a", "c"};
    Expect(manager.Stop(), 19, "name:a a can't be stoped.");
    EXPECT_EQ(keeper.calls("stop"), (Calls{"stop a 10000", "stop c 10000", "stop b 10000"}));
    EXPECT_EQ(Status("a"), TTendletStatus::RUNNING);
    EXPECT_EQ(Status("c"), TTendletStatus::RUNNING);
    EXPECT_EQ(Status("b"), TTendletStatus::STOPED);
    EXPECT_FALSE(manager.keep_running());
}

TEST_F(ManagerTest, OneTendletCommandsAnswerWithTheirCodes) {
    Init({DefaultCheck("web"), UserCheck("job")}, {"job"});
    const std::pair<TReturnResult, const char*> unknown[] = {
        {manager.StartOne("x"), "start"},
        {manager.StopOne("x"), "stop"},
        {manager.ReloadOne("x"), "reload"},
        {manager.RestartOne("x"), "restart"},
        {manager.CheckOne("x").returnInfo, "check"}};
    for (const auto& c : unknown) {
        Expect(c.first, 22, std::string("name:x not exist, ") + c.second + " erro.");
    }
    EXPECT_TRUE(manager.CheckOne("x").statusInfo.empty());

    Expect(manager.ReloadOne("job"), 20, "name:job  no reload cmd");
    Expect(manager.RestartOne("job"), 23, "name:job  no restart cmd");
    EXPECT_TRUE(keeper.calls("exec").empty());
    keeper.exec_status = 1;
    Expect(manager.StopOne("job"), 19, "name:job ");
    EXPECT_EQ(Status("job"), TTendletStatus::RUNNING);

    Expect(manager.RestartOne("web"), 25, "name:web not running");
    keeper.failing_starts = {"web"};
    Expect(manager.StartOne("web"), 9, "name:web web started failed.");
    EXPECT_EQ(Status("web"), TTendletStatus::EXIT);
    keeper.failing_starts.clear();
    Expect(manager.StartOne("web"), 0, "OK");
    EXPECT_EQ(Status("web"), TTendletStatus::STARTING);
    EXPECT_TRUE(manager.keep_running());
}

TEST_F(ManagerTest, ReloadAllSkipsOtherTypesButReloadOneDoesNot) {
    PProcessConfigure cron = DefaultCheck("cron");
    cron.set_type(tendwell::CRONTAB_SERVICE);
    cron.mutable_default_check()->set_reload_signal(1);
    Init({cron, DefaultCheck("web")}, {"cron", "web"});
    Expect(manager.Reload(), 0, "OK");
    EXPECT_EQ(keeper.calls("signal"), (Calls{"signal web 15"}));
    Expect(manager.ReloadOne("cron"), 0, "OK");
    EXPECT_EQ(keeper.calls("signal").back(), "signal cron 1");
    keeper.failing_signals = {"web"};
    Expect(manager.Reload(), 20, "name:web web signaled failed.");
}

TEST_F(ManagerTest, StopOneOfATendletThatIsNotRunningHolds) {
    Init({DefaultCheck("idle"), DefaultCheck("web")}, {"web"});
    Expect(manager.StopOne("idle"), 0, "OK");
    EXPECT_EQ(Status("idle"), TTendletStatus::STOPED);
    Expect(manager.StopOne("web"), 0, "OK");
    Expect(manager.RestartOne("web"), 25, "name:web not running");
    Expect(manager.ReloadOne("web"), 0, "OK");
    EXPECT_EQ(keeper.calls("stop"), (Calls{"stop web 10000"}));
    EXPECT_TRUE(manager.keep_running());

    // The loop starts neither of them again.
    EXPECT_TRUE(RunLoopUntil([this] { return Passes() >= 3; }));
    EXPECT_TRUE(keeper.calls("start").empty());
    EXPECT_EQ(Status("idle"), TTendletStatus::STOPED);
}

TEST_F(ManagerTest, AStopOfNothingStillEndsTheLoop) {
    Init({DefaultCheck("idle")});
    Expect(manager.Stop(), 0, "OK");
    EXPECT_TRUE(keeper.calls("stop").empty());
    manager.period();  // returns without a pass
    EXPECT_TRUE(keeper.calls("start").empty());
    EXPECT_EQ(keeper.calls().back(), "shutdown");
}

TEST_F(ManagerTest, AStoppingDaemonRefusesStartsAndAShutKeeperRefusesAll) {
    Init({DefaultCheck("web")}, {"web"});
    manager.Abort();
    for (const TReturnResult& result :
         {manager.Start(), manager.StartOne("web"), manager.Reload(), manager.ReloadOne("web"),
          manager.Restart(), manager.RestartOne("web")}) {
        Expect(result, 15, "tendwell is stopping");
    }
    EXPECT_TRUE(keeper.calls("start").empty());

    manager.period();  // returns at once and shuts the keeper down
    EXPECT_EQ(keeper.calls().back(), "shutdown");
    Expect(manager.Stop(), 19, "process keeper is shut down");
    Expect(manager.StopOne("web"), 19, "process keeper is shut down");
    EXPECT_TRUE(keeper.calls("stop").empty());
    Expect(manager.Check().returnInfo, 0, "OK");
}

TEST_F(ManagerTest, TheFirstPassStartsEverythingByPriority) {
    InitAbc();
    EXPECT_TRUE(RunLoopUntil([this] { return keeper.calls("start").size() == 3; }));
    EXPECT_EQ(keeper.calls("start"), (Calls{"start b 2000", "start c 2000", "start a 2000"}));
}

TEST_F(ManagerTest, ThePassMirrorsKeeperStatesAndDropsWhatIsNotConfigured) {
    Init({DefaultCheck("w"), DefaultCheck("x"), DefaultCheck("y"), DefaultCheck("z")});
    for (const char* name : {"w", "x", "y", "z"}) manager.StartOne(name);
    // The clock stands still, so no gap passes and nothing is started again.
    const std::pair<const char*, int> states[] = {
        {"w", 2}, {"x", 0}, {"y", 1}, {"z", 3}, {"gone", 0}, {"alive", 2}};
    for (const auto& s : states) keeper.SetState(s.first, s.second);
    EXPECT_TRUE(RunLoopUntil([this] { return keeper.calls("remove alive").size() >= 2; }));
    EXPECT_EQ(Status("w"), TTendletStatus::RUNNING);
    EXPECT_EQ(Status("x"), TTendletStatus::EXIT);
    EXPECT_EQ(Status("y"), TTendletStatus::STARTING);
    EXPECT_EQ(Status("z"), TTendletStatus::STOPPING);
    EXPECT_EQ(keeper.calls("remove gone").size(), 1u);
    EXPECT_EQ(keeper.calls("start").size(), 4u);
}

// A command between the loop's copy of the keeper's table and the pass that uses
// it is not undone by that copy: a tendlet it has just started is not taken for
// one that has exited, and started again by the pass.
TEST_F(ManagerTest, ACommandDuringAPassIsNotUndoneByItsCopy) {
    keeper.SetState("a", 0);
    Init({DefaultCheck("a")}, {}, 60000);
    std::thread command;
    std::atomic<bool> done{false};
    keeper.after_getall = [&] {
        if (command.joinable()) return;
        command = std::thread([&] {
            manager.StartOne("a");
            done = true;
        });
        // Its chance to run while the copy is on its way; then any retry gap has
        // passed.
        testutil::WaitFor([&] { return done.load(); }, 500);
        clock.now += 3600;
    };
    // The pass that starts something wakes the next one at once.
    EXPECT_TRUE(RunLoopUntil([&] { return done.load() && Passes() >= 3; }));
    command.join();
    EXPECT_EQ(keeper.loop_started_running, std::vector<std::string>{});
}

TEST_F(ManagerTest, AFailedStartInAPassDoesNotStopTheOthers) {
    Init({DefaultCheck("a", 5), DefaultCheck("b", 1)});
    keeper.failing_starts = {"a"};
    EXPECT_TRUE(RunLoopUntil([this] { return keeper.calls("start").size() >= 2; }));
    EXPECT_EQ(keeper.calls("start")[1], "start b 2000");
    EXPECT_EQ(Status("a"), TTendletStatus::EXIT);
}

// With a period of a minute, only the keeper's report of an exit explains a pass.
// The pass it wakes restarts a tendlet the loop has not started yet (here one that
// ran at Init); from then on the loop starts it no sooner than a period later,
// however short its retry gap and however often exits wake the loop. A command is
// not held back.
TEST_F(ManagerTest, AnExitWakesTheLoopButItsStartsKeepAPeriodApart) {
    PProcessConfigure web = DefaultCheck("web");
    web.mutable_default_check()->set_start_retry_gap_secs(0);
    Init({web}, {"web"}, 60000);
    std::thread loop([this] { manager.period(); });
    EXPECT_TRUE(testutil::WaitFor([this] { return Passes() > 0; }, 5000));
    size_t passes = Passes();
    keeper.Exit("web");
    EXPECT_TRUE(testutil::WaitFor([&] { return keeper.calls("start web").size() == 1; }, 5000));

    // Each report wakes the loop again, and its pass finds the tendlet exited.
    int reports = 0;
    EXPECT_TRUE(testutil::WaitFor(
        [&] {
            if (Passes() > passes) {
                passes = Passes();
                keeper.Exit("web");
                ++reports;
            }
            return reports == 5;
        },
        5000));
    EXPECT_TRUE(testutil::WaitFor([&] { return Passes() > passes; }, 5000));
    EXPECT_EQ(keeper.calls("start web").size(), 1u);
    Expect(manager.StartOne("web"), 0, "OK");
    EXPECT_EQ(keeper.calls("start web").size(), 2u);
    manager.Abort();
    loop.join();
}

// A start the keeper refuses because the record could not be saved (a full disk)
// is no failure of the tendlet's: however long it lasts, the tendlet is tried
// again at each gap and never turns FATAL, while one that fails to start does.
TEST_F(ManagerTest, RefusedStartsCostNoRetries) {
    PProcessConfigure refused = DefaultCheck("refused");
    PProcessConfigure failing = DefaultCheck("failing");
    for (PProcessConfigure* config : {&refused, &failing}) {
        config->mutable_default_check()->set_start_retry_times(2);
    }
    Init({refused, failing});
    keeper.refused_starts = {"refused"};
    keeper.failing_starts = {"failing"};
    // The clock runs fast: every pass finds the gap passed.
    EXPECT_TRUE(RunLoopUntil([this] {
        clock.now += 1;
        return keeper.calls("start refused").size() >= 4 &&
               Status("failing") == TTendletStatus::FATAL;
    }));
    EXPECT_EQ(keeper.calls("start failing").size(), 2u);
    EXPECT_EQ(Status("refused"), TTendletStatus::EXIT);
}

TEST_F(ManagerTest, StopOneOfACheckingTendletRunsItsStopAndHolds) {
    PProcessConfigure job = UserCheck("job");
    job.set_max_tolerate_check_gap_secs(30);
    Init({job});
    manager.StartOne("job");
    keeper.SetState("job", 0);
    std::thread loop([this] { manager.period(); });
    EXPECT_TRUE(testutil::WaitFor([this] { return Status("job") == TTendletStatus::CHECKING; },
                                  5000));
    Expect(manager.StopOne("job"), 0, "OK");
    EXPECT_EQ(keeper.calls("exec"), (Calls{"exec stop-job 10000"}));
    const size_t passes = Passes();
    clock.now += 100;
    EXPECT_TRUE(testutil::WaitFor([&] { return Passes() > passes + 1; }, 5000));
    manager.Abort();
    loop.join();
    EXPECT_EQ(Status("job"), TTendletStatus::STOPED);
    EXPECT_EQ(keeper.calls("start").size(), 1u);
}

}  // namespace
