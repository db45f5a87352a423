// Mutex, condition and worker thread, with real threads and child processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

#include "corvel/condition.h"
#include "corvel/mutex.h"
#include "corvel/shell.h"
#include "corvel/thread.h"
#include "test_util.h"
#include "wait_child_task.h"

namespace {

using corvel::Condition;
using corvel::Mutex;
using corvel::MutexLockGuard;

TEST(CorvelMutexTest, TryLockFailsWhileAnotherThreadHoldsIt) {
    Mutex mutex;
    std::atomic<int> phase{0};
    std::thread holder([&] {
        MutexLockGuard guard(mutex);
        phase = 1;
        while (phase != 2) sched_yield();
    });
    ASSERT_TRUE(testutil::WaitFor([&] { return phase == 1; }, 5000));
    EXPECT_FALSE(mutex.try_lock());
    phase = 2;
    holder.join();
    EXPECT_TRUE(mutex.try_lock());
    mutex.unlock();
}

TEST(CorvelMutexTest, GuardReleasesWhenAnExceptionPasses) {
    Mutex mutex;
    EXPECT_THROW(
        {
            MutexLockGuard guard(mutex);
            throw std::runtime_error("boom");
        },
        std::runtime_error);
    EXPECT_TRUE(mutex.try_lock());
    mutex.unlock();
}

TEST(CorvelConditionTest, TimedWaitTimesOutOrIsWoken) {
    Mutex mutex;
    Condition cond;
    MutexLockGuard guard(mutex);
    EXPECT_FALSE(cond.wait(mutex, 0));
    bool woken = false;
    std::thread waker([&] {
        MutexLockGuard inner(mutex);
        woken = true;
        cond.wake_all();
    });
    while (!woken) ASSERT_TRUE(cond.wait(mutex, 10000));
    waker.join();
}

// Blocks in waitpid on a child while it holds a lock.
class LockedWaitChildTask : public WaitChildTask {
public:
    explicit LockedWaitChildTask(Mutex* held) : held_(held) {}
    int run() override {
        MutexLockGuard guard(*held_);
        return WaitChildTask::run();
    }

private:
    Mutex* held_;
};

TEST(CorvelThreadTest, StopEndsIdleAndCancelsBusyWorkerReleasingItsLocks) {
    corvel::Thread idle(nullptr);
    idle.stop();

    Mutex held;
    LockedWaitChildTask task(&held);
    corvel::Thread busy(nullptr);
    busy.assign(&task);
    ASSERT_TRUE(testutil::WaitFor([&] { return task.child != 0; }, 5000));
    testutil::PidReaper reaper;
    reaper.Add(task.child);
    busy.stop();
    EXPECT_FALSE(task.finished);
    EXPECT_TRUE(testutil::PidAlive(task.child));  // the child is not touched
    EXPECT_TRUE(held.try_lock());                  // the guard unwound with the cancellation
    held.unlock();
}

// An untimed shell command that records its pid, then sleeps.
class ShellTask : public corvel::Runnable {
public:
    explicit ShellTask(const std::string& pid_file)
        : command_("echo $$ > " + pid_file + "; exec sleep 100") {}
    int run() override { return corvel::run_shell_command(command_.c_str(), -1); }

private:
    std::string command_;
};

TEST(CorvelThreadTest, CancelledShellCommandIsKilledAndReaped) {
    testutil::TempDir dir;
    ShellTask task(dir / "pid");
    corvel::Thread worker(nullptr);
    worker.assign(&task);
    pid_t shell = 0;
    ASSERT_TRUE(testutil::WaitFor(
        [&] { return (shell = atoi(testutil::ReadFile(dir / "pid").c_str())) > 0; }, 5000));
    testutil::PidReaper reaper;
    reaper.Add(shell);
    worker.stop();
    EXPECT_FALSE(testutil::PidAlive(shell));
    EXPECT_EQ(-1, waitpid(shell, nullptr, WNOHANG));  // already reaped
}

}  // namespace
