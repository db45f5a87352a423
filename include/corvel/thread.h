// A worker thread of the thread pool.
#pragma once

#include <pthread.h>

#include "corvel/condition.h"
#include "corvel/mutex.h"
#include "corvel/runnable.h"

namespace corvel {

class ThreadPool;

// Starts its system thread at construction; the thread waits for a task, runs it,
// tells the pool and waits again. Driven by the pool under the pool lock: its own
// lock is only ever taken after the pool lock. Cancellation can reach the worker
// only while a task runs.
class Thread {
public:
    // Raises std::runtime_error("Thread::Thread()") when the thread cannot be made.
    explicit Thread(ThreadPool* pool);
    // Neither joins nor cancels: the owner stops the thread first.
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Gives the worker its next task and wakes it.
    void assign(Runnable* task);
    // Ends the worker: an idle one leaves its loop, a busy one is cancelled at its
    // task's next cancellation point. Then joins it. Not for the worker itself.
    void stop();
    // Makes the worker leave its loop once it is back in it, without joining;
    // safe from the worker itself. stop() still has to join it later.
    void quit();
    void cancel();
    void join();

private:
    static void* entry(void* self);
    void run_loop();

    Condition cond_;
    Runnable* task_;
    Mutex mutex_;
    bool idle_;
    ThreadPool* pool_;
    pthread_t handle_;
};

}  // namespace corvel
