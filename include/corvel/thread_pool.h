// A pool of worker threads running Runnable tasks.
#pragma once

#include <deque>
#include <list>

#include "corvel/condition.h"
#include "corvel/mutex.h"
#include "corvel/runnable.h"
#include "corvel/thread.h"

namespace corvel {

// Elastic mode: size is the batch size; a new batch is made as soon as the last
// idle thread takes a task, and a batch ends when more than size + ceil(size / 2)
// stand idle. Fixed mode: size is the number of threads wanted. The pool owns its
// threads, never its tasks. A thread that cannot be made is tried again when the
// pool next needs one; meanwhile it works with those it has.
class ThreadPool {
public:
    ThreadPool();
    // Stops without waiting.
    virtual ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // False when size is 0 or the pool is already started.
    bool start(unsigned size, bool elastic);
    // False for a null task or a pool not started, and, in elastic mode, with errno
    // EAGAIN when no thread is free and none can be made.
    bool add(Runnable* task);
    // Drops the pending tasks. With wait: waits until no task runs, ends the idle
    // threads and stays started. Without: ends every thread (busy ones are
    // cancelled) and counts as not started again.
    void stop(bool wait);
    unsigned size();
    bool elastic();
    // Busy plus idle threads.
    unsigned thread_count();
    // Called by a worker after each task.
    void on_thread_done(Thread* thread);

protected:
    // Open to pools built on this one.
    Mutex mutex_;
    Condition cond_;
    std::list<Thread*> busy_;
    std::list<Thread*> idle_;
    std::deque<Runnable*> pending_;
    bool elastic_;
    unsigned size_;
    // Surplus workers that left their loops and wait to be joined.
    std::list<Thread*> retired_;

private:
    void adjust();
    void spawn(unsigned count);
    void end_idle(unsigned count);
    void reap_retired();
};

}  // namespace corvel
