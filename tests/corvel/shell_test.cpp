// Shell commands run as real processes: time-outs, group kills, signal hygiene.
#include <gtest/gtest.h>
#include <errno.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>

#include "corvel/fd_io.h"
#include "corvel/shell.h"
#include "test_util.h"

namespace {

using corvel::run_shell_command;
using testutil::WaitFor;

double SecondsSince(std::chrono::steady_clock::time_point begin) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

pid_t PidFrom(const std::string& path) {
    pid_t pid = 0;
    WaitFor([&] { return (pid = atoi(testutil::ReadFile(path).c_str())) > 0; }, 5000);
    return pid;
}

// Orphans of the killed shells come to us; reap them so they leave no zombies.
void ReapOrphans() {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

TEST(CorvelShellTest, DeadlineKillsTheWholeGroup) {
    testutil::BecomeSubreaper();
    testutil::TempDir dir;
    testutil::PidReaper reaper;
    std::string command = "echo $$ > " + (dir / "pid") + "; sleep 100 & sleep 100";
    auto begin = std::chrono::steady_clock::now();
    int status = run_shell_command(command.c_str(), 1000);
    double took = SecondsSince(begin);
    // The shell is reaped by now; the members of its group are not.
    pid_t group = PidFrom(dir / "pid");
    for (pid_t member : testutil::GroupMembers(group)) reaper.Add(member);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(SIGKILL, WTERMSIG(status));
    EXPECT_GE(took, 1.0);
    EXPECT_LE(took, 1.5);
    EXPECT_TRUE(WaitFor([&] { return testutil::GroupMembers(group).empty(); }, 2000));
    ReapOrphans();
}

TEST(CorvelShellTest, ReturnsTheRawWaitStatus) {
    EXPECT_EQ(768, run_shell_command("exit 3", 1000));
    EXPECT_EQ(768, run_shell_command("exit 3", -1));
    EXPECT_EQ(0, run_shell_command("true", -1));
    EXPECT_EQ(1, run_shell_command(nullptr, -1));
    EXPECT_EQ(127 << 8, run_shell_command("/nonexistent/command", 1000));
}

std::atomic<int> g_sigints{0};
void CountSigint(int) { ++g_sigints; }

TEST(CorvelShellTest, UntimedCommandLeavesCallerSignalsAlone) {
    struct sigaction count = {};
    count.sa_handler = CountSigint;
    ASSERT_EQ(0, sigaction(SIGINT, &count, nullptr));
    struct sigaction quit_before = {}, quit_after = {};
    sigaction(SIGQUIT, nullptr, &quit_before);
    // The shell signals us while we wait for it: the handler must see it.
    EXPECT_EQ(4 << 8, run_shell_command("kill -INT $PPID; sleep 0.2; exit 4", -1));
    EXPECT_TRUE(WaitFor([] { return g_sigints == 1; }, 2000));
    sigaction(SIGQUIT, nullptr, &quit_after);
    EXPECT_EQ(quit_before.sa_handler, quit_after.sa_handler);
}

TEST(CorvelShellTest, ShellStartsWithDefaultSignalsAndEmptyMask) {
    testutil::TempDir dir;
    signal(SIGTERM, SIG_IGN);
    signal(SIGHUP, CountSigint);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    for (int timeout : {-1, 5000}) {
        std::string out = dir / ("status" + std::to_string(timeout));
        std::string command = "exec grep -E '^Sig(Blk|Ign)' /proc/self/status > " + out;
        ASSERT_EQ(0, run_shell_command(command.c_str(), timeout));
        EXPECT_EQ("SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n", testutil::ReadFile(out))
            << "time-out " << timeout;
    }
}

TEST(CorvelShellTest, DetachedReportsStatusOrGivesUpAtDeadline) {
    testutil::BecomeSubreaper();
    testutil::TempDir dir;
    testutil::PidReaper reaper;
    EXPECT_EQ(768, corvel::run_shell_command_detached("exit 3", 5000));
    EXPECT_EQ(0, corvel::run_shell_command_detached("true", -1));
    std::string command = "echo $$ > " + (dir / "pid") + "; exec sleep 100";
    errno = 0;
    EXPECT_EQ(-1, corvel::run_shell_command_detached(command.c_str(), 300));
    EXPECT_EQ(ETIMEDOUT, errno);
    pid_t shell = PidFrom(dir / "pid");
    reaper.Add(shell);
    EXPECT_TRUE(testutil::PidAlive(shell));  // left running
}

TEST(CorvelShellTest, OpenedShellTalksOverItsSocketAndIsKilledAtDeadline) {
    corvel::ShellCommand* handle = nullptr;
    int fd = corvel::open_shell_command("read line; echo got $line", &handle);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(3, corvel::write_all(fd, "hi\n", 3, 5000));
    char buf[16] = {};
    ASSERT_EQ(7, corvel::read_all(fd, buf, 7, 5000));
    EXPECT_STREQ("got hi\n", buf);
    EXPECT_EQ(0, corvel::close_shell_command(handle, -1));

    fd = corvel::open_shell_command("sleep 100", &handle);
    ASSERT_GE(fd, 0);
    int status = corvel::close_shell_command(handle, 200);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(SIGKILL, WTERMSIG(status));
    errno = 0;
    EXPECT_EQ(-1, corvel::close_shell_command(nullptr, -1));
    EXPECT_EQ(EINVAL, errno);
}

}  // namespace
