#include "corvel/thread.h"

#include <stdexcept>

#include "corvel/thread_hooks.h"
#include "corvel/thread_pool.h"

namespace corvel {

namespace {

// A worker runs a keeper runner or a shell command, which need a few kilobytes of
// stack; the default 8 MB per thread would only add to a daemon with a thread per
// kept process. The sanitizers' frames are several times larger.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kStackBytes = 1024 * 1024;
#else
constexpr size_t kStackBytes = 256 * 1024;
#endif

}  // namespace

Thread::Thread(ThreadPool* pool) : task_(nullptr), idle_(true), pool_(pool) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) throw std::runtime_error("Thread::Thread()");
    int rc = pthread_attr_setstacksize(&attr, kStackBytes);
    if (rc == 0) rc = pthread_create(&handle_, &attr, &Thread::entry, this);
    pthread_attr_destroy(&attr);
    if (rc != 0) throw std::runtime_error("Thread::Thread()");
}

Thread::~Thread() = default;

void* Thread::entry(void* self) {
    static_cast<Thread*>(self)->run_loop();
    return nullptr;
}

void Thread::assign(Runnable* task) {
    MutexLockGuard guard(mutex_);
    idle_ = false;
    task_ = task;
    cond_.wake_one();
}

void Thread::stop() {
    {
        MutexLockGuard guard(mutex_);
        if (!idle_) cancel();
        // A null task tells the worker to leave its loop, also when its task ends
        // before the cancellation could reach it.
        idle_ = false;
        task_ = nullptr;
        cond_.wake_one();
    }
    join();
}

void Thread::quit() {
    MutexLockGuard guard(mutex_);
    idle_ = false;
    task_ = nullptr;
}

void Thread::cancel() { pthread_cancel(handle_); }

void Thread::join() { pthread_join(handle_, nullptr); }

// Cancellation stays disabled except while a task runs: the worker must never be
// cancelled inside its own or the pool's waits, with their state half changed.
void Thread::run_loop() {
    int ignored;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &ignored);
    ThreadHookScope hooks;  // the logger's per-thread open and close
    for (;;) {
        Runnable* task;
        {
            MutexLockGuard guard(mutex_);
            while (idle_) cond_.wait(mutex_);
            task = task_;
            if (!task) {
                idle_ = true;
                return;
            }
        }
        pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &ignored);
        pthread_testcancel();
        task->run();
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &ignored);
        {
            MutexLockGuard guard(mutex_);
            if (!task_) return;  // stopped while the task ran: the pool has let go of us
            idle_ = true;
        }
        pool_->on_thread_done(this);
    }
}

}  // namespace corvel

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer does not see a thread cancellation unwind the frames of a task
// and keeps their red zones; its own sigaltstack call, made while unwinding and at
// thread exit, then lands on them and is reported. Nothing else calls sigaltstack.
extern "C" const char* __asan_default_suppressions() { return "interceptor_name:sigaltstack\n"; }
#endif
