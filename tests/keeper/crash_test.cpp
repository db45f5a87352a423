// A keeper killed with SIGKILL between a child's spawn and the save of its record,
// during a start or a restart of many, one at a time or all in one batch: the child
// (in a batch, every child) never runs its command, and the next keeper keeps
// exactly one copy of every process and leaves none behind after its stop.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "keeper/process_keeper.h"
#include "test_util.h"

namespace {

using tendwell::ProcessKeeper;
using testutil::WaitFor;

constexpr int kProcesses = 200;
// Fifty rounds one at a time, half of them in a restart, and ten in a batch; the
// cases run side by side.
constexpr int kRounds = 5;
constexpr int kCases = 5;
constexpr int kBatchCases = 2;

std::string Name(int i) { return "p" + std::to_string(i); }

// Each run of a process notes its pid and start ticks (field 22 of its stat
// entry; pids come back into use within seconds on a busy machine), then becomes
// the long-lived process.
std::string Command(const std::string& dir, int i) {
    return "read -r a b c d e f g h i j k l m n o p q r s t u v rest < /proc/$$/stat; echo $$ $v >> " +
           dir + "/runs/" + Name(i) + "; exec sleep 1000";
}

// Each run of process i so far, by pid and start ticks.
std::vector<std::pair<pid_t, std::string>> Runs(const std::string& dir, int i) {
    std::istringstream in(testutil::ReadFile(dir + "/runs/" + Name(i)));
    std::vector<std::pair<pid_t, std::string>> runs;
    pid_t pid;
    std::string ticks;
    while (in >> pid >> ticks) runs.emplace_back(pid, ticks);
    return runs;
}

// The pids of the runs that still live.
std::vector<pid_t> Alive(const std::vector<std::pair<pid_t, std::string>>& runs) {
    std::vector<pid_t> alive;
    for (const auto& [pid, ticks] : runs) {
        std::istringstream stat(testutil::ReadFile("/proc/" + std::to_string(pid) + "/stat"));
        std::string field;
        for (int i = 1; i <= 22 && stat >> field;) ++i;
        if (field == ticks && testutil::PidAlive(pid)) alive.push_back(pid);
    }
    return alive;
}

// Every live run of every process.
std::set<pid_t> Running(const std::string& dir) {
    std::set<pid_t> running;
    for (int i = 0; i < kProcesses; ++i) {
        for (pid_t pid : Alive(Runs(dir, i))) running.insert(pid);
    }
    return running;
}

void ReapZombies() {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

enum class Way { kStart, kRestart, kBatch };

// In a forked child: a keeper that starts every process, one at a time or all in
// one batch, for a restart then restarts each, and is killed at its fatal-th
// start, once that start's child exists and before its record is saved.
[[noreturn]] void KeeperKilledAtStart(const std::string& dir, int fatal, Way way) {
    ProcessKeeper keeper;
    int starts = 0;
    keeper.SetBeforeSaveHook([&](const std::string&) {
        if (starts++ == fatal) raise(SIGKILL);
    });
    if (!keeper.Init(dir + "/keeper.save")) _exit(1);
    for (int i = 0; i < kProcesses; ++i) {
        keeper.Add(ProcessKeeper::Process(Name(i), Command(dir, i)), nullptr);
    }
    if (way == Way::kBatch) {
        std::vector<ProcessKeeper::StartRequest> starts(kProcesses);
        for (int i = 0; i < kProcesses; ++i) starts[i].name = Name(i);
        keeper.StartEach(&starts, 20000);
    } else {
        for (int i = 0; i < kProcesses; ++i) keeper.Start(Name(i), 2000, nullptr);
    }
    for (int i = 0; way == Way::kRestart && i < kProcesses; ++i) {
        keeper.Restart(Name(i), 4000, nullptr);
    }
    _exit(2);
}

struct CrashCase {
    Way way;
    int batch;
};

const char* WayName(Way way) {
    return way == Way::kStart ? "Start" : way == Way::kRestart ? "Restart" : "Batch";
}

void PrintTo(const CrashCase& c, std::ostream* os) { *os << WayName(c.way) << c.batch; }

class KilledKeeperTest : public ::testing::TestWithParam<CrashCase> {};

TEST_P(KilledKeeperTest, NoChildRunsUnsavedAndTheNextKeeperKeepsOneCopy) {
    // Orphans of the killed keeper come to this process, to be counted.
    testutil::BecomeSubreaper();
    const Way way = GetParam().way;
    const bool restart = way == Way::kRestart;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        testutil::TempDir dir;
        ASSERT_EQ(0, mkdir((dir / "runs").c_str(), 0700));
        // Spread over the whole pass, its first and last start among them.
        const int n = GetParam().batch * kRounds + round;
        const int victim = n == 1 ? kProcesses - 1 : n * 67 % kProcesses;
        const pid_t killed = fork();
        ASSERT_GE(killed, 0);
        if (killed == 0) {
            KeeperKilledAtStart(dir.path(), restart ? kProcesses + victim : victim, way);
        }
        ASSERT_EQ(128 + SIGKILL, testutil::WaitStatusOf(killed));

        // The victim's child, left at its gate, ends by itself; the children
        // released before go on running their command.
        EXPECT_TRUE(WaitFor(
            [&] {
                ReapZombies();
                return testutil::ChildrenOf(getpid()) == Running(dir.path());
            },
            5000));
        EXPECT_EQ(Runs(dir.path(), victim).size(), restart ? 1u : 0u);
        EXPECT_TRUE(Alive(Runs(dir.path(), victim)).empty());
        // Not one child of a batch is saved before the last has come.
        if (way == Way::kBatch) {
            EXPECT_TRUE(Running(dir.path()).empty());
        }

        {
            ProcessKeeper later;
            ASSERT_TRUE(later.Init(dir / "keeper.save"));
            for (int i = 0; i < kProcesses; ++i) {
                later.Add(ProcessKeeper::Process(Name(i), Command(dir.path(), i)), nullptr);
                later.Start(Name(i), 2000, nullptr);
            }
            // A child released a moment ago may not have noted its run yet.
            std::string wrong;
            EXPECT_TRUE(WaitFor(
                [&] {
                    for (int i = 0; i < kProcesses; ++i) {
                        ProcessKeeper::Process process;
                        later.Get(Name(i), &process);
                        wrong = Name(i);
                        if (Alive(Runs(dir.path(), i)) != std::vector<pid_t>{process.pid}) return false;
                    }
                    return true;
                },
                5000))
                << wrong << " does not run exactly once";
            // Each live run is the one the keeper keeps, so its stop leaves nothing.
            for (int i = 0; i < kProcesses; ++i) later.Stop(Name(i), 5000, nullptr);
            ReapZombies();
            EXPECT_TRUE(Running(dir.path()).empty());
            EXPECT_TRUE(testutil::ChildrenOf(getpid()).empty());
            later.Shutdown();
        }
        // What runs on ends with the round.
        for (pid_t pid : Running(dir.path())) kill(-pid, SIGKILL);
        testutil::EndOrphans();
        EXPECT_TRUE(testutil::ChildrenOf(getpid()).empty());
    }
}

std::vector<CrashCase> AllCases() {
    std::vector<CrashCase> cases;
    for (Way way : {Way::kStart, Way::kRestart}) {
        for (int batch = 0; batch < kCases; ++batch) cases.push_back({way, batch});
    }
    for (int batch = 0; batch < kBatchCases; ++batch) cases.push_back({Way::kBatch, batch});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Rounds, KilledKeeperTest, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<CrashCase>& info) {
                             return WayName(info.param.way) + std::to_string(info.param.batch);
                         });

}  // namespace
