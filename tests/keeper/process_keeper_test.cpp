// The keeper with real processes: start, stop and escalation, re-adoption, check
// mode, signalling, and the waits that must neither hang nor deadlock.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "keeper/process_keeper.h"
#include "test_util.h"

namespace {

using tendwell::ProcessKeeper;
using testutil::FdTarget;
using testutil::FileExists;
using testutil::OpenFds;
using testutil::PidAlive;
using testutil::StatusLine;
using testutil::WaitFor;
using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class KeeperTest : public ::testing::Test {
protected:
    void SetUp() override {
        testutil::BecomeSubreaper();
        ASSERT_TRUE(keeper_.Init(path_));
    }
    void TearDown() override { keeper_.Shutdown(); }

    // Adds and starts a pid-mode process; its group is killed when the test ends.
    pid_t StartPid(ProcessKeeper& keeper, const std::string& name, const std::string& command) {
        keeper.Add(ProcessKeeper::Process(name, command), nullptr);
        std::string msg;
        EXPECT_TRUE(keeper.Start(name, 2000, &msg)) << msg;
        EXPECT_EQ(msg, name + " started.");
        pid_t pid = Get(keeper, name).pid;
        reaper_.Add(pid);
        return pid;
    }
    static ProcessKeeper::Process Get(ProcessKeeper& keeper, const std::string& name) {
        ProcessKeeper::Process process;
        EXPECT_TRUE(keeper.Get(name, &process)) << name;
        return process;
    }
    // A process the keeper never started, killed when the test ends; like a kept
    // process it leads a group of its own unless told to stay in this one.
    pid_t Bystander(const char* command = "exec sleep 1000", bool own_group = true) {
        pid_t pid = fork();
        if (pid == 0) {
            if (own_group) setpgid(0, 0);
            execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
            _exit(127);
        }
        // From this side too, so that the group is there when this returns.
        if (own_group) setpgid(pid, pid);
        reaper_.Add(pid);
        return pid;
    }

    testutil::TempDir dir_;
    const std::string path_ = dir_ / "keeper.save";
    testutil::PidReaper reaper_;
    ProcessKeeper keeper_;
};

TEST_F(KeeperTest, StartsAQuietGroupLeaderAndStopsIt) {
    // What the keeper's threads carry must not reach the child: a blocked signal,
    // an ignored one and a descriptor without close-on-exec.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    signal(SIGUSR2, SIG_IGN);
    int inherited = open("/dev/null", O_RDONLY);
    ASSERT_GT(inherited, 2);
    keeper_.Shutdown();
    ASSERT_TRUE(keeper_.Init(path_));

    // exec: the shell itself blocks every signal for a moment around each fork.
    pid_t pid = StartPid(keeper_, "s", "exec sleep 1000");
    ASSERT_GT(pid, 1);
    EXPECT_EQ(getpgid(pid), pid);
    EXPECT_TRUE(WaitFor([&] { return OpenFds(pid) == std::set<int>{0, 1, 2}; }, 2000));
    for (int fd = 0; fd <= 2; ++fd) EXPECT_EQ(FdTarget(pid, fd), "/dev/null") << fd;
    EXPECT_EQ(StatusLine(pid, "SigBlk"), "0000000000000000");
    EXPECT_EQ(StatusLine(pid, "SigIgn"), "0000000000000000");

    ProcessKeeper::Process process = Get(keeper_, "s");
    EXPECT_EQ(process.status, ProcessKeeper::PROCESS_RUNNING);
    EXPECT_EQ(process.start_time_us, ProcessKeeper::ProcStartTime(pid));
    const std::string tail = " " + std::to_string(pid) + " -1 " +
                             std::to_string(process.start_time_us) + " 2\n";
    const std::string saved = testutil::ReadFile(path_);
    ASSERT_GE(saved.size(), tail.size());
    EXPECT_EQ(saved.substr(saved.size() - tail.size()), tail);

    std::string msg;
    EXPECT_TRUE(keeper_.Stop("s", 2000, &msg));
    EXPECT_EQ(msg, "s stoped.");
    EXPECT_TRUE(WaitFor([&] { return !PidAlive(pid); }, 2000));
    EXPECT_FALSE(FileExists(path_));
    close(inherited);
}

// With these time-outs a step is seconds long: the answers come from the runner's
// reports, also that a run still ending is free to start again.
TEST_F(KeeperTest, AnswersAsSoonAsTheRunnerReports) {
    keeper_.Add(ProcessKeeper::Process("s", "exec sleep 1000"), nullptr);
    std::string msg;
    // Each call, and whether it leaves a process running.
    const std::tuple<const char*, std::function<bool()>, bool> calls[] = {
        {"start", [&] { return keeper_.Start("s", 20000, &msg); }, true},
        {"restart", [&] { return keeper_.Restart("s", 40000, &msg); }, true},
        {"stop", [&] { return keeper_.Stop("s", 20000, &msg); }, false},
    };
    for (const auto& [label, call, starts] : calls) {
        auto start = Clock::now();
        EXPECT_TRUE(call()) << label;
        EXPECT_LT(MsSince(start), 1000) << label;
        if (starts) reaper_.Add(Get(keeper_, "s").pid);
    }
    EXPECT_EQ(msg, "s started.s stoped.\ns started.s stoped.");
}

// Each end of a kept process is told to the exit sink, whether the process exits
// or is killed.
TEST_F(KeeperTest, TellsTheExitSinkOfEachEnd) {
    std::atomic<int> exits{0};
    keeper_.SetExitSink([&exits] { ++exits; });
    StartPid(keeper_, "quick", "exit 3");
    EXPECT_TRUE(WaitFor([&] { return exits == 1; }, 5000));
    EXPECT_EQ(Get(keeper_, "quick").status, ProcessKeeper::PROCESS_STOPPED);
    const pid_t pid = StartPid(keeper_, "long", "exec sleep 1000");
    EXPECT_EQ(exits, 1);
    ASSERT_EQ(kill(-pid, SIGKILL), 0);
    EXPECT_TRUE(WaitFor([&] { return exits == 2; }, 5000));
    EXPECT_EQ(Get(keeper_, "long").status, ProcessKeeper::PROCESS_STOPPED);
}

// A start or restart of a process that has ended since the table was last copied
// starts it anew: the record still showing the old process running makes no
// adoption of the dead.
TEST_F(KeeperTest, AStartAfterAnEndNoCopySawStartsANewProcess) {
    std::atomic<int> exits{0};
    keeper_.SetExitSink([&exits] { ++exits; });
    pid_t pid = StartPid(keeper_, "s", "exec sleep 1000");
    const std::pair<const char*, std::function<bool(std::string*)>> calls[] = {
        {"start", [&](std::string* msg) { return keeper_.Start("s", 2000, msg); }},
        {"restart", [&](std::string* msg) { return keeper_.Restart("s", 4000, msg); }},
    };
    for (const auto& [label, call] : calls) {
        const int before = exits;
        ASSERT_EQ(kill(-pid, SIGKILL), 0) << label;
        ASSERT_TRUE(WaitFor([&] { return exits > before; }, 5000)) << label;
        std::string msg;
        EXPECT_TRUE(call(&msg)) << label << ": " << msg;
        const pid_t again = Get(keeper_, "s").pid;
        reaper_.Add(again);
        EXPECT_NE(again, pid) << label;
        EXPECT_TRUE(PidAlive(again)) << label;
        pid = again;
    }
}

// The children of a batch wait at their gates for one save of the table, and none
// runs its command before it; then each runs, with the pid the keeper saved.
TEST_F(KeeperTest, ABatchSavesOnceBeforeAnyOfItsChildrenRuns) {
    constexpr int kBatch = 20;
    std::vector<ProcessKeeper::StartRequest> batch(kBatch);
    for (int i = 0; i < kBatch; ++i) {
        batch[i].name = "p" + std::to_string(i);
        keeper_.Add(ProcessKeeper::Process(batch[i].name, "echo $$ > " + (dir_ / batch[i].name) +
                                                              "; exec sleep 1000"),
                    nullptr);
    }
    // Before each save the keeper lets this look at the state file and the runs.
    std::vector<std::string> files;
    bool ran_unsaved = false;
    keeper_.SetBeforeSaveHook([&](const std::string&) {
        files.push_back(testutil::ReadFile(path_));
        for (const auto& start : batch) ran_unsaved = ran_unsaved || FileExists(dir_ / start.name);
    });
    keeper_.StartEach(&batch, 5000);
    keeper_.SetBeforeSaveHook(nullptr);
    for (const auto& start : batch) {
        EXPECT_TRUE(start.started) << start.name;
        EXPECT_EQ(start.msg, start.name + " started.");
        const pid_t pid = Get(keeper_, start.name).pid;
        reaper_.Add(pid);
        EXPECT_TRUE(WaitFor(
            [&] { return testutil::ReadFile(dir_ / start.name) == std::to_string(pid) + "\n"; },
            5000))
            << start.name;
    }
    EXPECT_EQ(files.size(), static_cast<size_t>(kBatch));
    EXPECT_EQ(std::count(files.begin(), files.end(), files.front()), kBatch);
    EXPECT_FALSE(ran_unsaved);
    EXPECT_NE(testutil::ReadFile(path_), files.front());
}

TEST_F(KeeperTest, GroupIgnoringTermIsKilledAtNineTenths) {
    // The leader notes each SIGTERM and goes on; only SIGKILL ends it.
    const std::string termed = dir_ / "termed";
    pid_t pid = StartPid(keeper_, "t",
                         "trap 'echo term >> " + termed + "' TERM; sleep 1000 & "
                         "while :; do sleep 0.05; done");
    ASSERT_TRUE(WaitFor([&] { return testutil::GroupMembers(pid).size() >= 3; }, 2000));
    for (pid_t member : testutil::GroupMembers(pid)) reaper_.Add(member);
    const int leader = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    ASSERT_GE(leader, 0);

    std::string msg;
    auto start = Clock::now();
    std::thread stopper([&] { keeper_.Stop("t", 1000, &msg); });
    struct pollfd ended = {leader, POLLIN, 0};
    EXPECT_EQ(poll(&ended, 1, 3000), 1);
    const int64_t died_ms = MsSince(start);
    stopper.join();
    close(leader);
    EXPECT_EQ(testutil::ReadFile(termed), "term\n");
    EXPECT_GE(died_ms, 850);
    EXPECT_LE(died_ms, 1000);
    EXPECT_EQ(msg, "t stoped.");
    EXPECT_TRUE(WaitFor([&] { return testutil::GroupMembers(pid).empty(); }, 2000));
}

TEST_F(KeeperTest, LaterKeeperAdoptsWithoutForkingAndSeesAnOutsideKill) {
    pid_t pid = StartPid(keeper_, "s", "sleep 1000");
    keeper_.Shutdown();
    const std::set<pid_t> children = testutil::ChildrenOf(getpid());

    ProcessKeeper later;
    ASSERT_TRUE(later.Init(path_));
    ProcessKeeper::Process adopted = Get(later, "s");
    EXPECT_EQ(adopted.status, ProcessKeeper::PROCESS_RUNNING);
    EXPECT_EQ(adopted.pid, pid);
    EXPECT_EQ(testutil::ChildrenOf(getpid()), children);

    // The shell is this test's child and nobody waits for it: it stays a zombie
    // until the identity check reaps it.
    kill(-pid, SIGKILL);
    EXPECT_TRUE(WaitFor([&] { return Get(later, "s").status == ProcessKeeper::PROCESS_STOPPED; },
                        5000));
    EXPECT_FALSE(FileExists("/proc/" + std::to_string(pid)));
    later.GetAll(nullptr);
    EXPECT_FALSE(FileExists(path_));
    later.Shutdown();
}

TEST_F(KeeperTest, AdoptedProcessStopsAndStartsAgain) {
    pid_t pid = StartPid(keeper_, "s", "sleep 1000");
    keeper_.Shutdown();
    ProcessKeeper later;
    ASSERT_TRUE(later.Init(path_));

    std::string msg;
    EXPECT_TRUE(later.Restart("s", 4000, &msg));
    EXPECT_EQ(msg, "s stoped.\ns started.");
    EXPECT_FALSE(PidAlive(pid));
    pid_t again = Get(later, "s").pid;
    reaper_.Add(again);
    EXPECT_NE(again, pid);
    EXPECT_TRUE(PidAlive(again));
    later.Shutdown();
}

// A child on record in state 1, saved before its start was confirmed, is adopted
// by the next keeper rather than started a second time.
TEST_F(KeeperTest, ChildSavedBeforeItsConfirmationIsAdopted) {
    pid_t pid = StartPid(keeper_, "s", "sleep 1000");
    ProcessKeeper::Process record = Get(keeper_, "s");
    keeper_.Shutdown();
    record.status = ProcessKeeper::PROCESS_STARTING;
    keeper_.Remove("s", nullptr);
    keeper_.Add(record, nullptr);
    ProcessKeeper later;
    ASSERT_TRUE(later.Init(path_));
    EXPECT_EQ(Get(later, "s").pid, pid);
    EXPECT_EQ(Get(later, "s").status, ProcessKeeper::PROCESS_RUNNING);
    later.Shutdown();
}

// The adopted leader dies between two identity checks: its group (here a leftover
// child, elsewhere whoever took its pid) must not be signalled by Stop.
TEST_F(KeeperTest, StopOfAnAdoptedProcessFoundDeadSignalsNothing) {
    const std::string child_file = dir_ / "child";
    pid_t pid = StartPid(keeper_, "s",
                         "trap 'exit 0' USR1; sleep 1000 & echo $! > " + child_file + "; wait");
    pid_t child = 0;
    ASSERT_TRUE(WaitFor(
        [&] { return (child = atoi(testutil::ReadFile(child_file).c_str())) > 0; }, 3000));
    reaper_.Add(child);
    keeper_.Shutdown();
    ProcessKeeper later;
    ASSERT_TRUE(later.Init(path_));
    ASSERT_EQ(Get(later, "s").status, ProcessKeeper::PROCESS_RUNNING);

    kill(pid, SIGUSR1);
    ASSERT_TRUE(WaitFor([&] { return !PidAlive(pid); }, 3000));
    EXPECT_TRUE(later.Stop("s", 1000, nullptr));
    EXPECT_TRUE(PidAlive(child));
    EXPECT_EQ(Get(later, "s").status, ProcessKeeper::PROCESS_STOPPED);
    later.Shutdown();
}

// An adopted process's end is seen when it comes, not at the next identity check
// two seconds on.
TEST_F(KeeperTest, AdoptedProcessIsSeenToEndAtOnce) {
    pid_t pid = StartPid(keeper_, "s", "exec sleep 1000");
    keeper_.Shutdown();
    ProcessKeeper later;
    ASSERT_TRUE(later.Init(path_));
    ASSERT_EQ(Get(later, "s").status, ProcessKeeper::PROCESS_RUNNING);
    kill(pid, SIGKILL);
    EXPECT_TRUE(WaitFor([&] { return Get(later, "s").status == ProcessKeeper::PROCESS_STOPPED; },
                        1500));
    later.Shutdown();
}

// A stop of an adopted process returns once the process has ended, however it
// ended, and what takes its pid afterwards, leading a group of that id, is no
// concern of the keeper's.
TEST_F(KeeperTest, StopOfAnAdoptedProcessEndsWithItAndSparesTheNextAtItsPid) {
    const std::string termed = dir_ / "termed";
    // It notes SIGTERM and goes on: only this test ends it.
    pid_t pid = StartPid(keeper_, "s",
                         "trap 'echo term >> " + termed + "' TERM; while :; do sleep 0.05; done");
    ASSERT_TRUE(WaitFor(
        [&] {
            return (std::stoull("0" + StatusLine(pid, "SigCgt"), nullptr, 16) >> (SIGTERM - 1)) & 1;
        },
        3000));
    keeper_.Shutdown();
    ProcessKeeper later;
    ASSERT_TRUE(later.Init(path_));

    std::string msg;
    bool stopped = false;
    bool ended_first = false;
    std::thread stopper([&] {
        stopped = later.Stop("s", 20000, &msg);
        ended_first = !PidAlive(pid);
    });
    EXPECT_TRUE(WaitFor([&] { return FileExists(termed); }, 3000));
    // Still this test's child and not reaped: the group is its own.
    kill(-pid, SIGKILL);
    stopper.join();
    EXPECT_TRUE(stopped);
    EXPECT_TRUE(ended_first);
    EXPECT_EQ(msg, "s stoped.");

    // The pid is free once the process and the rest of its group are reaped: the
    // keeper's runner may reap it, this process being its parent, and the rest came
    // to this subreaper.
    ASSERT_TRUE(WaitFor(
        [&] {
            while (waitpid(-pid, nullptr, WNOHANG) > 0) {
            }
            return kill(-pid, 0) != 0 && !FileExists("/proc/" + std::to_string(pid));
        },
        3000));
    const pid_t stranger = testutil::SleeperAt(pid);
    if (stranger < 0) GTEST_SKIP() << "no process can be made at a chosen pid here";
    reaper_.Add(stranger);
    msg.clear();
    EXPECT_TRUE(later.Stop("s", 200, &msg));
    EXPECT_FALSE(later.Signal("s", SIGTERM, &msg));
    EXPECT_EQ(msg, "s not running.s verfied failed.");
    EXPECT_TRUE(PidAlive(stranger));
    later.Shutdown();
}

// The identity holds by the stamp, or by a start no later than it (the kernel
// builds a /proc entry anew, with a new time, after dropping it from its caches);
// never for a process that took the pid later, nor, whatever the stamp, for pid 1,
// the keeper itself or a member of its group, which a Stop would then signal.
TEST_F(KeeperTest, IdentityHoldsOnlyForTheRecordedProcess) {
    const pid_t own = Bystander();
    const pid_t member = Bystander("exec sleep 1000", false);
    const int64_t stamp = ProcessKeeper::ProcStartTime(own);
    const std::tuple<pid_t, int64_t, bool> cases[] = {
        {own, stamp, true}, {own, stamp + 1000000, true}, {own, stamp - 1000000, false},
        {1, 0, false},      {getpid(), 0, false},        {member, 0, false}};
    for (const auto& [pid, stamp_us, same] : cases) {
        ProcessKeeper::Process record("b", "sleep 1000");
        record.pid = pid;
        record.start_time_us = stamp_us != 0 ? stamp_us : ProcessKeeper::ProcStartTime(pid);
        EXPECT_EQ(ProcessKeeper::Verify(record), same) << pid << " " << stamp_us - stamp;
    }
}

TEST_F(KeeperTest, RecordOfAnotherProcessIsResetAndNeverSignalled) {
    pid_t bystander = Bystander();
    ProcessKeeper::Process stale("x", "sleep 1000");
    stale.pid = bystander;
    stale.status = ProcessKeeper::PROCESS_RUNNING;
    // The stamp of a process that had the pid before the bystander took it.
    stale.start_time_us = ProcessKeeper::ProcStartTime(bystander) - 1000000;
    keeper_.Add(stale, nullptr);
    stale.name = "v";
    stale.status = ProcessKeeper::PROCESS_STOPPED;
    keeper_.Add(stale, nullptr);

    std::string msg;
    EXPECT_FALSE(keeper_.Signal("v", SIGTERM, &msg));
    EXPECT_EQ(msg, "v verfied failed.");

    const std::set<pid_t> children = testutil::ChildrenOf(getpid());
    ProcessKeeper later;
    ASSERT_TRUE(later.Init(path_));
    ProcessKeeper::Process reset = Get(later, "x");
    EXPECT_EQ(reset.status, ProcessKeeper::PROCESS_STOPPED);
    EXPECT_EQ(reset.pid, -1);
    EXPECT_EQ(testutil::ChildrenOf(getpid()), children);
    msg.clear();
    EXPECT_TRUE(later.Stop("x", 100, &msg));
    EXPECT_FALSE(later.Signal("x", SIGTERM, &msg));
    EXPECT_EQ(msg, "x not found.x not running.");
    EXPECT_TRUE(PidAlive(bystander));
    later.Shutdown();
}

// Runs in a fresh pid namespace, where a stray kill(-1) or kill(1) could only reach
// this process: a check-mode process (pid -1) and a record of pid 1 must never be
// signalled, and pid 1 is never adopted. Returns the number of the first failed
// expectation, 0 when all hold.
int NoSignalBelowTwo(const std::string& path) {
    ProcessKeeper writer;
    ProcessKeeper::Process init("one", "sleep 1000");
    init.pid = 1;
    init.status = ProcessKeeper::PROCESS_RUNNING;
    init.start_time_us = ProcessKeeper::ProcStartTime(1);
    if (!writer.Init(path)) return 1;
    writer.Add(init, nullptr);
    writer.Add(ProcessKeeper::Process("check", "true", "true", 50), nullptr);

    ProcessKeeper keeper;
    if (!keeper.Init(path)) return 2;
    std::string msg;
    if (!keeper.Start("check", 2000, &msg)) return 3;
    ProcessKeeper::Process check;
    if (!WaitFor([&] { return keeper.Get("check", &check) && check.status == 2; }, 2000)) return 4;
    ProcessKeeper::Process one;
    keeper.Get("one", &one);
    if (one.status != ProcessKeeper::PROCESS_STOPPED || one.pid != -1) return 5;
    msg.clear();
    if (keeper.Stop("check", 100, &msg) || msg != "check can't be stoped.") return 6;
    msg.clear();
    if (!keeper.Stop("one", 100, &msg) || msg != "one not found.") return 7;
    msg.clear();
    if (keeper.Signal("one", SIGTERM, &msg) || msg != "one not running.") return 8;
    return 0;
}

TEST_F(KeeperTest, NeverSignalsAGroupBelowTwo) {
    // No other thread may hold a lock of the allocator while this process forks.
    keeper_.Shutdown();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (unshare(CLONE_NEWPID) != 0) _exit(77);
        pid_t inner = fork();
        if (inner == 0) _exit(NoSignalBelowTwo(dir_ / "ns.save"));
        int status = 0;
        waitpid(inner, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no pid namespaces here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

void IgnoreSignal(int) {}

TEST_F(KeeperTest, SignalsToTheWatchingThreadsAreNoExit) {
    pid_t pid = StartPid(keeper_, "s", "sleep 1000");
    struct sigaction action = {};
    action.sa_handler = IgnoreSignal;  // no SA_RESTART: waits are interrupted
    ASSERT_EQ(sigaction(SIGUSR1, &action, nullptr), 0);
    for (int round = 0; round < 20; ++round) {
        DIR* tasks = opendir("/proc/self/task");
        while (struct dirent* e = tasks ? readdir(tasks) : nullptr) {
            pid_t tid = atoi(e->d_name);
            if (tid > 0 && tid != gettid()) tgkill(getpid(), tid, SIGUSR1);
        }
        if (tasks) closedir(tasks);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ProcessKeeper::Process process = Get(keeper_, "s");
    EXPECT_EQ(process.status, ProcessKeeper::PROCESS_RUNNING);
    EXPECT_EQ(process.pid, pid);
    EXPECT_TRUE(PidAlive(pid));
}

TEST_F(KeeperTest, ZombieOfAnotherParentIsNotAlive) {
    // The outer process never reaps its background child.
    pid_t outer = Bystander("sleep 1000 & exec sleep 1001");
    std::set<pid_t> inner;
    ASSERT_TRUE(WaitFor([&] { return !(inner = testutil::ChildrenOf(outer)).empty(); }, 3000));
    ProcessKeeper::Process record("z", "sleep 1000");
    record.pid = *inner.begin();
    record.start_time_us = ProcessKeeper::ProcStartTime(record.pid);
    EXPECT_TRUE(ProcessKeeper::Verify(record));
    kill(record.pid, SIGKILL);
    ASSERT_TRUE(WaitFor([&] { return !PidAlive(record.pid); }, 3000));
    EXPECT_TRUE(FileExists("/proc/" + std::to_string(record.pid)));
    EXPECT_FALSE(ProcessKeeper::Verify(record));
}

TEST_F(KeeperTest, CheckModeSkipsTheStartWhenTheFirstCheckPasses) {
    const std::string started = dir_ / "started";
    const std::string checks = dir_ / "checks";
    keeper_.Add(ProcessKeeper::Process("c", "touch " + started, "echo x >> " + checks, 20), nullptr);
    std::string msg;
    EXPECT_TRUE(keeper_.Start("c", 2000, &msg));
    EXPECT_EQ(msg, "c started.");
    ASSERT_TRUE(WaitFor([&] { return testutil::ReadFile(checks).size() >= 6; }, 5000));
    EXPECT_FALSE(FileExists(started));
    EXPECT_EQ(Get(keeper_, "c").status, ProcessKeeper::PROCESS_RUNNING);
}

TEST_F(KeeperTest, CheckModeEndsWithTheFailingCheckStatus) {
    const std::string started = dir_ / "started";
    keeper_.Add(ProcessKeeper::Process("c", "touch " + started, "exit 3", 20), nullptr);
    // The run may leave state 1 before Start looks: its answer is not the point.
    keeper_.Start("c", 2000, nullptr);
    EXPECT_TRUE(WaitFor(
        [&] {
            ProcessKeeper::Process p = Get(keeper_, "c");
            return p.status == ProcessKeeper::PROCESS_STOPPED && p.exit_status == 3 << 8;
        },
        5000));
    EXPECT_TRUE(FileExists(started));
}

// A check that never returns fails at its time-out, killed with its whole group.
TEST_F(KeeperTest, HangingCheckFailsAtItsTimeOut) {
    const std::string pids = dir_ / "pids";
    ProcessKeeper::Process process("c", "true", "sleep 1000 & echo $! >> " + pids + "; wait", 20);
    process.check_timeout_ms = 200;
    keeper_.Add(process, nullptr);
    keeper_.Start("c", 2000, nullptr);
    EXPECT_TRUE(WaitFor(
        [&] {
            ProcessKeeper::Process p = Get(keeper_, "c");
            return p.status == ProcessKeeper::PROCESS_STOPPED && p.exit_status == SIGKILL;
        },
        3000));
    const pid_t sleeper = atoi(testutil::ReadFile(pids).c_str());
    reaper_.Add(sleeper);
    EXPECT_FALSE(PidAlive(sleeper));
}

// Init runs the saved records' checks without its lock: the table stays readable
// while a check takes its time.
TEST_F(KeeperTest, InitChecksWithoutHoldingTheLock) {
    const std::string began = dir_ / "began";
    const std::string go = dir_ / "go";
    ProcessKeeper::Process process(
        "c", "true", "touch " + began + "; until [ -e " + go + " ]; do sleep 0.01; done; exit 1",
        1000);
    process.status = ProcessKeeper::PROCESS_RUNNING;
    keeper_.Add(process, nullptr);

    ProcessKeeper later;
    std::thread init([&] { later.Init(path_); });
    EXPECT_TRUE(WaitFor([&] { return FileExists(began); }, 5000));
    std::atomic<bool> read{false};
    std::thread reader([&] {
        later.GetAll(nullptr);
        read = true;
    });
    EXPECT_TRUE(WaitFor([&] { return read.load(); }, 2000));
    testutil::WriteFile(go, "");
    reader.join();
    init.join();
    EXPECT_EQ(Get(later, "c").status, ProcessKeeper::PROCESS_STOPPED);
    later.Shutdown();
}

// What a leader that exits leaves in its group ends with it, also a member that
// ignores SIGTERM.
TEST_F(KeeperTest, WhatAnExitedLeaderLeavesInItsGroupEnds) {
    const std::string child_file = dir_ / "child";
    for (const std::string ignore : {"", "trap '' TERM; "}) {
        unlink(child_file.c_str());
        keeper_.Add(ProcessKeeper::Process("f", ignore + "sleep 1000 & echo $! > " + child_file),
                    nullptr);
        keeper_.Start("f", 2000, nullptr);
        pid_t child = 0;
        ASSERT_TRUE(WaitFor(
            [&] { return (child = atoi(testutil::ReadFile(child_file).c_str())) > 0; }, 3000));
        reaper_.Add(child);
        EXPECT_TRUE(WaitFor([&] { return !PidAlive(child); }, 3000)) << ignore;
        EXPECT_TRUE(WaitFor(
            [&] { return Get(keeper_, "f").status == ProcessKeeper::PROCESS_STOPPED; }, 3000));
    }
}

TEST_F(KeeperTest, GetAllWaitsForALongStop) {
    const std::string termed = dir_ / "termed";
    pid_t pid = StartPid(keeper_, "t", "trap 'touch " + termed + "' TERM; while :; do sleep 0.05; done");
    // Only once the shell catches SIGTERM does the file tell that Stop is under way.
    ASSERT_TRUE(WaitFor(
        [&] {
            return (std::stoull("0" + StatusLine(pid, "SigCgt"), nullptr, 16) >> (SIGTERM - 1)) & 1;
        },
        3000));
    std::thread stopper([&] { keeper_.Stop("t", 1500, nullptr); });
    EXPECT_TRUE(WaitFor([&] { return FileExists(termed); }, 3000));
    std::map<std::string, ProcessKeeper::Process> table;
    keeper_.GetAll(&table);
    EXPECT_EQ(table["t"].status, ProcessKeeper::PROCESS_STOPPED);
    stopper.join();
}

TEST_F(KeeperTest, OperationsReportInTheirOwnWords) {
    pid_t first = StartPid(keeper_, "web", "sleep 1000");
    std::string msg;
    EXPECT_FALSE(keeper_.Remove("web", &msg));
    EXPECT_TRUE(keeper_.Start("web", 2000, &msg));
    EXPECT_EQ(msg, "web is running now, can't be removed.web is already running.");
    EXPECT_EQ(Get(keeper_, "web").pid, first);

    msg.clear();
    EXPECT_TRUE(keeper_.Signal("web", SIGTERM, &msg));
    EXPECT_EQ(msg, "web signaled.");
    EXPECT_TRUE(WaitFor(
        [&] {
            ProcessKeeper::Process p = Get(keeper_, "web");
            return p.status == ProcessKeeper::PROCESS_STOPPED && WIFSIGNALED(p.exit_status) &&
                   WTERMSIG(p.exit_status) == SIGTERM;
        },
        3000));

    msg.clear();
    EXPECT_TRUE(keeper_.Restart("web", 4000, &msg));
    EXPECT_EQ(msg, "web not running.\nweb started.");
    reaper_.Add(Get(keeper_, "web").pid);
    msg.clear();
    EXPECT_TRUE(keeper_.Restart("web", 4000, &msg));
    EXPECT_EQ(msg, "web stoped.\nweb started.");
    reaper_.Add(Get(keeper_, "web").pid);

    msg.clear();
    EXPECT_FALSE(keeper_.Signal("nope", SIGTERM, &msg));
    EXPECT_TRUE(keeper_.Stop("nope", 100, &msg));
    EXPECT_FALSE(keeper_.Start("nope", 100, &msg));
    EXPECT_TRUE(keeper_.Stop("web", 2000, &msg));
    EXPECT_TRUE(keeper_.Remove("web", &msg));
    EXPECT_EQ(msg, "nope not found.nope not found.nope not found.web stoped.web removed.");
}

struct EndingCase {
    const char* label;
    const char* command;
    int exit_code;
};

void PrintTo(const EndingCase& c, std::ostream* os) { *os << c.label; }

class EndingTest : public KeeperTest, public ::testing::WithParamInterface<EndingCase> {};

// A command that ends at once leaves its raw wait status and its pid behind.
TEST_P(EndingTest, RecordsTheWaitStatus) {
    keeper_.Add(ProcessKeeper::Process("e", GetParam().command), nullptr);
    keeper_.Start("e", 300, nullptr);
    EXPECT_TRUE(WaitFor(
        [&] {
            ProcessKeeper::Process p = Get(keeper_, "e");
            return p.status == ProcessKeeper::PROCESS_STOPPED && p.pid > 1 &&
                   p.exit_status == GetParam().exit_code << 8;
        },
        3000));
}

const EndingCase kEndingCases[] = {
    {"ExitThree", "exit 3", 3},
    {"CommandNotFound", "/nonexistent/tendwell-test-command", 127},
};

INSTANTIATE_TEST_SUITE_P(Commands, EndingTest, ::testing::ValuesIn(kEndingCases),
                         [](const ::testing::TestParamInfo<EndingCase>& info) {
                             return std::string(info.param.label);
                         });

// A start whose shell cannot be run (an argument the kernel takes for too long)
// fails at once, with its reason; a shell that runs and exits at once started.
TEST_F(KeeperTest, StartWhoseShellCannotBeRunFailsWithItsReason) {
    keeper_.Add(ProcessKeeper::Process("big", "# " + std::string(1500 * 1024, 'x')), nullptr);
    std::string msg;
    ProcessKeeper::StartFailure failure;
    const auto start = Clock::now();
    EXPECT_FALSE(keeper_.Start("big", 2000, &msg, &failure));
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_EQ(msg, "big started failed.");
    EXPECT_EQ(failure.reason, "its shell could not be run: Argument list too long");
    EXPECT_FALSE(failure.refused);
    EXPECT_EQ(Get(keeper_, "big").status, ProcessKeeper::PROCESS_STOPPED);

    keeper_.Add(ProcessKeeper::Process("three", "exit 3"), nullptr);
    msg.clear();
    EXPECT_TRUE(keeper_.Start("three", 2000, &msg));
    EXPECT_EQ(msg, "three started.");
    EXPECT_TRUE(WaitFor(
        [&] {
            const ProcessKeeper::Process p = Get(keeper_, "three");
            return p.status == ProcessKeeper::PROCESS_STOPPED && p.exit_status == 3 << 8;
        },
        3000));
}

TEST_F(KeeperTest, StartGivesUpAtTheTimeOut) {
    keeper_.Add(ProcessKeeper::Process("none", ""), nullptr);
    std::string msg;
    auto start = Clock::now();
    EXPECT_FALSE(keeper_.Start("none", 300, &msg));
    EXPECT_GE(MsSince(start), 290);
    EXPECT_EQ(msg, "none started failed.");
}

}  // namespace
