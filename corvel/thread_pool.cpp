#include "corvel/thread_pool.h"

#include <errno.h>

#include <algorithm>
#include <stdexcept>

namespace corvel {

ThreadPool::ThreadPool() : elastic_(true), size_(0) {}

ThreadPool::~ThreadPool() { stop(false); }

bool ThreadPool::start(unsigned size, bool elastic) {
    if (size == 0) return false;
    MutexLockGuard guard(mutex_);
    if (size_ != 0) return false;
    size_ = size;
    elastic_ = elastic;
    adjust();
    return true;
}

bool ThreadPool::add(Runnable* task) {
    if (!task) return false;
    MutexLockGuard guard(mutex_);
    if (size_ == 0) return false;
    // The batch made when the last idle thread was taken may have failed.
    if (idle_.empty() && elastic_) spawn(size_);
    if (idle_.empty() && elastic_) {
        // An elastic pool makes no task wait: one that cannot run is refused.
        errno = EAGAIN;
        return false;
    }
    if (idle_.empty()) {
        pending_.push_back(task);
    } else {
        Thread* thread = idle_.front();
        idle_.pop_front();
        thread->assign(task);
        busy_.push_back(thread);
    }
    // Also with the task queued: after a waiting stop the pool has no thread left,
    // and only this makes new ones for the queue.
    adjust();
    return true;
}

void ThreadPool::stop(bool wait) {
    std::list<Thread*> busy;
    {
        MutexLockGuard guard(mutex_);
        reap_retired();
        if (size_ == 0) return;
        pending_.clear();
        if (wait) {
            while (!busy_.empty()) cond_.wait(mutex_);
            reap_retired();
        } else {
            size_ = 0;
        }
        end_idle(static_cast<unsigned>(idle_.size()));
        if (wait) return;
        busy.swap(busy_);
    }
    // Busy workers are cancelled without the pool lock: a worker whose task ends
    // meanwhile must be able to reach on_thread_done, which then finds it gone.
    for (Thread* thread : busy) {
        thread->stop();
        delete thread;
    }
}

unsigned ThreadPool::size() {
    MutexLockGuard guard(mutex_);
    return size_;
}

bool ThreadPool::elastic() {
    MutexLockGuard guard(mutex_);
    return elastic_;
}

unsigned ThreadPool::thread_count() {
    MutexLockGuard guard(mutex_);
    return static_cast<unsigned>(busy_.size() + idle_.size());
}

void ThreadPool::on_thread_done(Thread* thread) {
    MutexLockGuard guard(mutex_);
    cond_.wake_one();
    auto it = std::find(busy_.begin(), busy_.end(), thread);
    if (it == busy_.end()) return;  // a no-wait stop has taken it over
    if (elastic_ || size_ >= busy_.size() + idle_.size()) {
        if (!pending_.empty()) {
            thread->assign(pending_.front());
            pending_.pop_front();
            return;
        }
        busy_.erase(it);
        idle_.push_back(thread);
        adjust();
    } else {
        // A surplus worker cannot join itself: it leaves its loop and is joined later.
        busy_.erase(it);
        thread->quit();
        retired_.push_back(thread);
    }
}

void ThreadPool::adjust() {
    reap_retired();
    if (size_ == 0) return;
    if (elastic_) {
        if (idle_.size() > size_ + (size_ + 1) / 2) end_idle(size_);
        if (idle_.empty()) spawn(size_);
        return;
    }
    size_t count = busy_.size() + idle_.size();
    if (count < size_) {
        spawn(static_cast<unsigned>(size_ - count));
    } else if (count > size_) {
        end_idle(static_cast<unsigned>(std::min(count - size_, idle_.size())));
    }
}

void ThreadPool::spawn(unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
        Thread* thread;
        try {
            thread = new Thread(this);
        } catch (const std::runtime_error&) {
            // Out of threads (a process or thread limit): the pool goes on with those
            // it has and tries again when it next needs one.
            return;
        }
        if (pending_.empty()) {
            idle_.push_back(thread);
        } else {
            thread->assign(pending_.front());
            pending_.pop_front();
            busy_.push_back(thread);
        }
    }
}

void ThreadPool::end_idle(unsigned count) {
    for (unsigned i = 0; i < count && !idle_.empty(); ++i) {
        Thread* thread = idle_.front();
        idle_.pop_front();
        thread->stop();
        delete thread;
    }
}

void ThreadPool::reap_retired() {
    for (Thread* thread : retired_) {
        thread->join();
        delete thread;
    }
    retired_.clear();
}

}  // namespace corvel
