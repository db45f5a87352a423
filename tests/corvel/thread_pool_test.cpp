// Thread pool with real worker threads: growth, shrinking, fixed mode, stops.
#include <gtest/gtest.h>
#include <errno.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "corvel/thread_pool.h"
#include "test_util.h"
#include "wait_child_task.h"

namespace {

using corvel::ThreadPool;
using testutil::WaitFor;

// Blocks in run until released.
class GateTask : public corvel::Runnable {
public:
    int run() override {
        std::unique_lock<std::mutex> lock(mutex_);
        started_ = true;
        cond_.wait(lock, [this] { return released_; });
        done_ = true;
        return 0;
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        cond_.notify_all();
    }
    bool started() {
        std::lock_guard<std::mutex> lock(mutex_);
        return started_;
    }
    bool done() {
        std::lock_guard<std::mutex> lock(mutex_);
        return done_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cond_;
    bool started_ = false;
    bool released_ = false;
    bool done_ = false;
};

std::vector<std::unique_ptr<GateTask>> MakeTasks(size_t n) {
    std::vector<std::unique_ptr<GateTask>> tasks;
    for (size_t i = 0; i < n; ++i) tasks.emplace_back(new GateTask);
    return tasks;
}

// Releases every task when it dies, so a failing test does not hang its pool, and
// waits for the pool's workers to leave them before the tasks are deleted.
struct ReleaseAll {
    std::vector<std::unique_ptr<GateTask>>& tasks;
    ThreadPool& pool;
    ~ReleaseAll() {
        for (auto& task : tasks) task->release();
        pool.stop(true);
    }
};

// Notes the size of the stack it runs on.
class StackSizeTask : public corvel::Runnable {
public:
    int run() override {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            size_t size = 0;
            pthread_attr_getstacksize(&attr, &size);
            pthread_attr_destroy(&attr);
            bytes = size;
        }
        return 0;
    }
    std::atomic<size_t> bytes{0};
};

// A daemon has a worker per kept process: none carries the default 8 MB stack.
TEST(CorvelThreadPoolTest, WorkersRunOnSmallStacks) {
    ThreadPool pool;
    StackSizeTask task;
    ASSERT_TRUE(pool.start(1, true));
    ASSERT_TRUE(pool.add(&task));
    EXPECT_TRUE(WaitFor([&] { return task.bytes != 0; }, 5000));
    pool.stop(true);
    EXPECT_LE(task.bytes, 1024u * 1024u);
}

TEST(CorvelThreadPoolTest, RefusesBadStartsAndAdds) {
    ThreadPool pool;
    GateTask task;
    EXPECT_FALSE(pool.add(&task));
    EXPECT_FALSE(pool.start(0, true));
    EXPECT_TRUE(pool.start(2, false));
    EXPECT_FALSE(pool.start(2, false));
    EXPECT_FALSE(pool.add(nullptr));
    EXPECT_EQ(2u, pool.size());
    EXPECT_FALSE(pool.elastic());
    pool.stop(false);
    EXPECT_EQ(0u, pool.size());
    EXPECT_TRUE(pool.start(3, true));  // a stopped pool starts again
    EXPECT_EQ(3u, pool.thread_count());
}

TEST(CorvelThreadPoolTest, ElasticGrowsByBatchAndShrinksPastEightIdle) {
    ThreadPool pool;
    auto tasks = MakeTasks(9);
    ReleaseAll release{tasks, pool};
    ASSERT_TRUE(pool.start(5, true));
    EXPECT_EQ(5u, pool.thread_count());
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(pool.add(tasks[i].get()));
    EXPECT_EQ(5u, pool.thread_count());
    ASSERT_TRUE(pool.add(tasks[4].get()));  // the last idle thread is taken
    EXPECT_EQ(10u, pool.thread_count());
    for (int i = 5; i < 9; ++i) ASSERT_TRUE(pool.add(tasks[i].get()));
    ASSERT_TRUE(WaitFor([&] {
        for (auto& task : tasks)
            if (!task->started()) return false;
        return true;
    }, 5000));  // none waits in the queue
    EXPECT_EQ(10u, pool.thread_count());
    for (int i = 0; i < 7; ++i) tasks[i]->release();
    ASSERT_TRUE(WaitFor([&] { return tasks[6]->done(); }, 5000));
    ASSERT_TRUE(WaitFor([&] { return pool.thread_count() == 10u; }, 5000));  // 8 idle stay
    tasks[7]->release();  // 9 idle: 5 end, 4 stay beside the busy one
    ASSERT_TRUE(WaitFor([&] { return pool.thread_count() == 5u; }, 5000));
    tasks[8]->release();
    ASSERT_TRUE(WaitFor([&] { return tasks[8]->done(); }, 5000));
    EXPECT_TRUE(WaitFor([&] { return pool.thread_count() == 5u; }, 5000));
}

// Under a process limit (a user's threads count as processes) an elastic pool
// refuses a task no thread can run, runs every task it took, and makes new threads
// once there is room. Before, the failed thread creation was an exception out of
// add, and the end of a daemon.
int ElasticPoolUnderAThreadLimit() {
    // Room for what this process runs now and seven more threads.
    const int threads = atoi(testutil::StatusLine(getpid(), "Threads").c_str());
    struct rlimit limit = {static_cast<rlim_t>(threads + 7), 64};
    if (setrlimit(RLIMIT_NPROC, &limit) != 0) return 1;
    auto tasks = MakeTasks(12);
    ThreadPool pool;
    ReleaseAll release{tasks, pool};
    if (!pool.start(5, true)) return 2;
    size_t taken = 0;
    errno = 0;
    while (taken < tasks.size() && pool.add(tasks[taken].get())) ++taken;
    // A sanitizer's own thread may take one of the seven.
    if (taken < 6 || taken == tasks.size() || errno != EAGAIN) return 3;
    if (!WaitFor([&] { return tasks[taken - 1]->started(); }, 5000)) return 4;
    tasks[0]->release();
    if (!WaitFor([&] { return pool.add(tasks[taken].get()); }, 5000)) return 5;
    if (!WaitFor([&] { return tasks[taken]->started(); }, 5000)) return 6;
    return 0;
}

TEST(CorvelThreadPoolTest, ElasticPoolRefusesWhatNoThreadCanRun) {
    const int status = testutil::RunAs(64501, 64, ElasticPoolUnderAThreadLimit);
    if (status == testutil::kCannotBecomeUser) GTEST_SKIP() << "cannot run as another user";
    EXPECT_EQ(0, status);
}

TEST(CorvelThreadPoolTest, FixedQueuesBeyondSizeAndRunsQueueAfterWaitingStop) {
    ThreadPool pool;
    auto tasks = MakeTasks(5);
    ReleaseAll release{tasks, pool};
    ASSERT_TRUE(pool.start(3, false));
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(pool.add(tasks[i].get()));
    ASSERT_TRUE(WaitFor([&] { return tasks[2]->started(); }, 5000));
    EXPECT_FALSE(tasks[3]->started());
    EXPECT_EQ(3u, pool.thread_count());
    tasks[0]->release();
    ASSERT_TRUE(WaitFor([&] { return tasks[3]->started(); }, 5000));
    EXPECT_EQ(3u, pool.thread_count());

    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        pool.stop(true);
        stopped = true;
    });
    for (int i = 1; i < 4; ++i) {
        EXPECT_FALSE(stopped);
        tasks[i]->release();
    }
    stopper.join();
    EXPECT_EQ(0u, pool.thread_count());
    EXPECT_EQ(3u, pool.size());  // still started: a new task gets new threads
    ASSERT_TRUE(pool.add(tasks[4].get()));
    EXPECT_TRUE(WaitFor([&] { return tasks[4]->started(); }, 5000));
}

// Exposes the size so that a fixed pool can find itself with surplus workers.
class ShrinkablePool : public ThreadPool {
public:
    void shrink(unsigned size) {
        corvel::MutexLockGuard guard(mutex_);
        size_ = size;
    }
};

TEST(CorvelThreadPoolTest, FixedSurplusWorkersLeaveWithoutJoiningThemselves) {
    ShrinkablePool pool;
    auto tasks = MakeTasks(3);
    ReleaseAll release{tasks, pool};
    ASSERT_TRUE(pool.start(3, false));
    for (auto& task : tasks) ASSERT_TRUE(pool.add(task.get()));
    ASSERT_TRUE(WaitFor([&] { return tasks[2]->started(); }, 5000));
    pool.shrink(1);
    for (auto& task : tasks) task->release();
    EXPECT_TRUE(WaitFor([&] { return pool.thread_count() == 1u; }, 5000));
}

TEST(CorvelThreadPoolTest, NoWaitStopCancelsTasksBlockedOnChildren) {
    testutil::PidReaper reaper;
    std::vector<std::unique_ptr<WaitChildTask>> tasks;
    for (int i = 0; i < 3; ++i) tasks.emplace_back(new WaitChildTask);
    GateTask never_run;
    ThreadPool pool;
    ASSERT_TRUE(pool.start(3, false));
    for (auto& task : tasks) ASSERT_TRUE(pool.add(task.get()));
    ASSERT_TRUE(pool.add(&never_run));
    for (auto& task : tasks) {
        ASSERT_TRUE(WaitFor([&] { return task->child != 0; }, 5000));
        reaper.Add(task->child);
    }
    auto begin = std::chrono::steady_clock::now();
    pool.stop(false);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
    EXPECT_EQ(0u, pool.thread_count());
    EXPECT_FALSE(never_run.started());
    for (auto& task : tasks) EXPECT_TRUE(testutil::PidAlive(task->child));
}

// Short tasks ending while a no-wait stop takes their threads over: under the
// sanitizers a worker filed again after the stop shows as a leak or a use after free.
class YieldTask : public corvel::Runnable {
public:
    int run() override {
        sched_yield();
        return 0;
    }
};

TEST(CorvelThreadPoolTest, WorkersEndingDuringNoWaitStopAreNotFiledAgain) {
    YieldTask task;
    for (int round = 0; round < 200; ++round) {
        ThreadPool pool;
        ASSERT_TRUE(pool.start(2, round % 2 == 0));
        for (int i = 0; i < 4; ++i) ASSERT_TRUE(pool.add(&task));
        pool.stop(false);
        EXPECT_EQ(0u, pool.thread_count());
    }
}

}  // namespace
