// Starts that cannot be saved or made: a full disk, a thread and process limit, a
// descriptor limit. Each fails only that start, cleanly and at once; the keeper and
// what it keeps go on. Each runs in a forked child, under limits of its own, and
// notes what it found wrong in a file.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "corvel/spawn.h"
#include "keeper/process_keeper.h"
#include "test_util.h"

namespace {

using tendwell::ProcessKeeper;
using testutil::FileExists;
using testutil::PidAlive;
using testutil::ReadFile;
using testutil::WaitFor;
using Clock = std::chrono::steady_clock;

// What a forked child found wrong, one line each, in the file the test reads.
class Findings {
public:
    explicit Findings(std::string path) : path_(std::move(path)) {}
    void Expect(bool holds, const std::string& what) {
        if (!holds) text_ += what + "\n";
    }
    // The child's exit status.
    int Write() { return testutil::WriteFile(path_, text_) ? 0 : 1; }

private:
    std::string path_;
    std::string text_;
};

// Each run of a process notes its pid.
std::string Command(const testutil::TempDir& dir, const std::string& name) {
    return "echo $$ >> " + (dir / ("run." + name)) + "; exec sleep 1000";
}

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

struct FullDisk {
    const char* label;
    // Readies the directory data before the keeper saves there; false when that
    // cannot be done here.
    std::function<bool(const std::string& data)> prepare;
    // Leaves no room under data for a file larger than limit bytes.
    std::function<void(const std::string& data, off_t limit)> fill;
    std::function<void(const std::string& data)> empty;
    const char* reason;
};

void PrintTo(const FullDisk& c, std::ostream* os) { *os << c.label; }

class FullDiskTest : public ::testing::TestWithParam<FullDisk> {};

// A start whose record cannot be saved does not run its command, leaves the last
// good state file as it was and touches no running process; once there is room
// again the same start succeeds.
TEST_P(FullDiskTest, StartThatCannotBeSavedIsRefusedUnrun) {
    testutil::BecomeSubreaper();
    testutil::TempDir dir;
    const std::string data = dir / "data";
    ASSERT_EQ(0, mkdir(data.c_str(), 0700));
    const std::string path = data + "/keeper.save";
    const FullDisk& disk = GetParam();
    Findings found(dir / "findings");
    const int status = testutil::RunInChild([&] {
        // Mounts made here stay in this child.
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 || !disk.prepare(data)) {
            return testutil::kCannotBecomeUser;
        }
        ProcessKeeper keeper;
        keeper.Init(path);
        keeper.Add(ProcessKeeper::Process("a", Command(dir, "a")), nullptr);
        keeper.Add(ProcessKeeper::Process("b", Command(dir, "b")), nullptr);
        keeper.Add(ProcessKeeper::Process("c", Command(dir, "c")), nullptr);
        found.Expect(keeper.Start("a", 2000, nullptr), "a did not start");
        ProcessKeeper::Process a;
        keeper.Get("a", &a);
        const std::string good = ReadFile(path);
        disk.fill(data, static_cast<off_t>(good.size()));

        std::string msg;
        ProcessKeeper::StartFailure failure;
        found.Expect(!keeper.Start("b", 2000, &msg, &failure), "b started");
        found.Expect(msg == "b started failed.", "message: " + msg);
        found.Expect(failure.refused, "not refused");
        found.Expect(failure.reason == "save state file " + path + " failed: " + disk.reason,
                     "reason: " + failure.reason);
        // The refused child has been reaped by now: it never ran.
        found.Expect(!FileExists(dir / "run.b"), "b ran");
        ProcessKeeper::Process b;
        keeper.Get("b", &b);
        found.Expect(b.status == ProcessKeeper::PROCESS_STOPPED, "b not stopped");
        found.Expect(ReadFile(path) == good, "state file changed");
        found.Expect(PidAlive(a.pid), "a ended");

        // A batch that cannot be saved refuses each of its starts.
        std::vector<ProcessKeeper::StartRequest> batch(2);
        batch[0].name = "b";
        batch[1].name = "c";
        keeper.StartEach(&batch, 2000);
        for (const ProcessKeeper::StartRequest& start : batch) {
            found.Expect(!start.started && start.failure.refused, start.name + " not refused");
            found.Expect(start.msg == start.name + " started failed.", "message: " + start.msg);
            found.Expect(!FileExists(dir / ("run." + start.name)), start.name + " ran");
        }
        found.Expect(ReadFile(path) == good, "state file changed by the batch");

        disk.empty(data);
        failure = ProcessKeeper::StartFailure();
        found.Expect(keeper.Start("b", 2000, nullptr, &failure), "b refused again: " + failure.reason);
        found.Expect(WaitFor([&] { return FileExists(dir / "run.b"); }, 5000), "b did not run");
        found.Expect(ReadFile(path) != good, "state file not saved");
        keeper.Stop("a", 2000, nullptr);
        keeper.Stop("b", 2000, nullptr);
        return found.Write();
    });
    testutil::EndOrphans();
    if (status == testutil::kCannotBecomeUser) GTEST_SKIP() << "no mount of its own here";
    EXPECT_EQ(0, status);
    EXPECT_EQ("", ReadFile(dir / "findings"));
}

const FullDisk kFullDisks[] = {
    {"FileTooLarge", [](const std::string&) { return true; },
     [](const std::string&, off_t limit) {
         signal(SIGXFSZ, SIG_IGN);
         struct rlimit size = {static_cast<rlim_t>(limit), RLIM_INFINITY};
         setrlimit(RLIMIT_FSIZE, &size);
     },
     [](const std::string&) {
         struct rlimit size = {RLIM_INFINITY, RLIM_INFINITY};
         setrlimit(RLIMIT_FSIZE, &size);
     },
     "File too large"},
    {"NoSpaceLeft",
     [](const std::string& data) {
         return mount("tmpfs", data.c_str(), "tmpfs", 0, "size=64k,mode=0700") == 0;
     },
     [](const std::string& data, off_t) {
         int fd = open((data + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
         char block[4096] = {};
         while (fd >= 0 && write(fd, block, sizeof(block)) > 0) {
         }
         if (fd >= 0) close(fd);
     },
     [](const std::string& data) { unlink((data + "/filler").c_str()); },
     "No space left on device"},
};

INSTANTIATE_TEST_SUITE_P(Disks, FullDiskTest, ::testing::ValuesIn(kFullDisks),
                         [](const ::testing::TestParamInfo<FullDisk>& info) {
                             return std::string(info.param.label);
                         });

// Starts process name, where it may not be possible: a start that fails is refused
// at once, with a reason, and leaves no run behind; one that succeeds runs its
// command once. Whether it started.
bool StartOne(Findings& found, ProcessKeeper& keeper, const testutil::TempDir& dir,
              const std::string& name) {
    const std::string runs = dir / ("run." + name);
    keeper.Add(ProcessKeeper::Process(name, Command(dir, name)), nullptr);
    ProcessKeeper::StartFailure failure;
    const Clock::time_point start = Clock::now();
    if (keeper.Start(name, 2000, nullptr, &failure)) {
        ProcessKeeper::Process process;
        keeper.Get(name, &process);
        found.Expect(WaitFor([&] { return ReadFile(runs) == std::to_string(process.pid) + "\n"; },
                             5000),
                     name + " did not run once");
        return true;
    }
    found.Expect(MsSince(start) < 1000, name + " took its whole time-out to fail");
    found.Expect(!failure.reason.empty(), name + " failed without a reason");
    // Nothing the process did: no retry of its is to be spent on it.
    found.Expect(failure.refused, name + " failed, not refused: " + failure.reason);
    found.Expect(!FileExists(runs), name + " ran");
    return false;
}

std::string Name(int i) { return "p" + std::to_string(i); }

// The threads of this process that wait in poll with a time limit, one "TID
// LIMIT" line each: an idle keeper has none, as none of its waits looks again.
std::string TimedPolls() {
    std::string timed;
    DIR* tasks = opendir("/proc/self/task");
    while (const struct dirent* task = tasks != nullptr ? readdir(tasks) : nullptr) {
        // "NR ARG1 ARG2 ARG3 ...", or "running".
        const std::string path = std::string("/proc/self/task/") + task->d_name + "/syscall";
        std::istringstream call(ReadFile(path));
        long nr = -1;
        unsigned long fds, count, limit;
        if (!(call >> nr >> std::hex >> fds >> count >> limit)) continue;
        bool unlimited = true;
#ifdef SYS_poll
        // Milliseconds, -1 for none.
        if (nr == SYS_poll) unlimited = static_cast<int>(limit) < 0;
#endif
        // A pointer to the time, null for none.
        if (nr == SYS_ppoll) unlimited = limit == 0;
        if (!unlimited) timed += std::string(task->d_name) + " " + std::to_string(limit) + "\n";
    }
    if (tasks != nullptr) closedir(tasks);
    return timed;
}

// Stops processes 0 to count - 1; none is left running.
void StopAll(Findings& found, ProcessKeeper& keeper, int count) {
    for (int i = 0; i < count; ++i) {
        ProcessKeeper::Process process;
        keeper.Get(Name(i), &process);
        found.Expect(keeper.Stop(Name(i), 5000, nullptr), Name(i) + " did not stop");
        found.Expect(WaitFor([&] { return !PidAlive(process.pid); }, 5000), Name(i) + " runs on");
    }
}

// Under a limit of processes and threads (here a user's, as a container's pids
// limit would be) a thread or a process that cannot be made fails only its start.
// Before, the thread's exception ended the whole keeper.
TEST(KeeperLimitTest, ThreadAndProcessLimitFailsOnlyThoseStarts) {
    testutil::BecomeSubreaper();
    testutil::TempDir dir;
    constexpr uid_t kUser = 64502;
    constexpr rlim_t kRoom = 64;
    ASSERT_EQ(0, chown(dir.path().c_str(), kUser, kUser));
    Findings found(dir / "findings");
    const int status = testutil::RunAs(kUser, kRoom, [&] {
        ProcessKeeper keeper;
        found.Expect(keeper.Init(dir / "keeper.save"), "no init");
        constexpr int kRunning = 4;
        for (int i = 0; i < kRunning; ++i) {
            found.Expect(StartOne(found, keeper, dir, Name(i)), Name(i) + " did not start");
        }
        // No room for one more thread or process: this process's threads and the
        // kept processes are all the user has. The next start takes the pool's last
        // idle thread, whose successors cannot be made.
        const std::string threads = testutil::StatusLine(getpid(), "Threads");
        struct rlimit limit = {static_cast<rlim_t>(atoi(threads.c_str()) + kRunning), kRoom};
        found.Expect(setrlimit(RLIMIT_NPROC, &limit) == 0, "no limit");
        for (int i = kRunning; i < kRunning + 5; ++i) {
            found.Expect(!StartOne(found, keeper, dir, Name(i)), Name(i) + " started");
        }
        limit.rlim_cur = kRoom;
        setrlimit(RLIMIT_NPROC, &limit);
        found.Expect(StartOne(found, keeper, dir, Name(kRunning)), "no start with room again");
        StopAll(found, keeper, kRunning + 1);
        return found.Write();
    });
    testutil::EndOrphans();
    if (status == testutil::kCannotBecomeUser) GTEST_SKIP() << "cannot run as another user";
    EXPECT_EQ(0, status);
    EXPECT_EQ("", ReadFile(dir / "findings"));
}

// Out of descriptors, a start fails alone; once the daemon has raised its own
// limit every start succeeds, and its processes run with the limit it had.
TEST(KeeperLimitTest, DescriptorShortageFailsOnlyThoseStarts) {
    testutil::BecomeSubreaper();
    testutil::TempDir dir;
    Findings found(dir / "findings");
    const int status = testutil::RunInChild([&] {
        struct rlimit limit = {40, 4096};
        found.Expect(setrlimit(RLIMIT_NOFILE, &limit) == 0, "no limit");
        ProcessKeeper keeper;
        found.Expect(keeper.Init(dir / "keeper.save"), "no init");
        // Each kept process holds descriptors of the keeper's: some starts fail.
        std::vector<std::string> failed;
        for (int i = 0; i < 40; ++i) {
            if (!StartOne(found, keeper, dir, Name(i))) failed.push_back(Name(i));
        }
        found.Expect(!failed.empty() && failed.size() < 40, "none or all failed");

        found.Expect(corvel::raise_fd_limit() == 4096, "limit not raised");
        for (const std::string& name : failed) {
            ProcessKeeper::StartFailure failure;
            found.Expect(keeper.Start(name, 2000, nullptr, &failure),
                         name + " failed again: " + failure.reason);
        }
        // Runners made while descriptors were short wait for their processes as
        // every other does, without looking again every few milliseconds.
        found.Expect(WaitFor([] { return TimedPolls().empty(); }, 5000),
                     "waits that look again:\n" + TimedPolls());
        const std::string limits = dir / "limits";
        keeper.Add(ProcessKeeper::Process("limits", "ulimit -n > " + limits), nullptr);
        keeper.Start("limits", 2000, nullptr);
        found.Expect(WaitFor([&] { return ReadFile(limits) == "40\n"; }, 5000),
                     "the child's limit: " + ReadFile(limits));
        StopAll(found, keeper, 40);
        return found.Write();
    });
    testutil::EndOrphans();
    EXPECT_EQ(0, status);
    EXPECT_EQ("", ReadFile(dir / "findings"));
}

}  // namespace
