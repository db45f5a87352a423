// Owning wrapper of a pthread mutex and its scoped guard.
#pragma once

#include <pthread.h>

namespace corvel {

class Condition;

// A default (not recursive) mutex; every failing call raises std::runtime_error
// whose text names the operation.
class Mutex {
public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock();
    void unlock();
    // True when taken, false when another holder has it.
    bool try_lock();

private:
    friend class Condition;
    pthread_mutex_t* mutex_;
};

// Holds a Mutex for its scope; releases it also while an exception or a thread
// cancellation unwinds through the scope.
class MutexLockGuard {
public:
    explicit MutexLockGuard(Mutex& mutex);
    ~MutexLockGuard();
    MutexLockGuard(const MutexLockGuard&) = delete;
    MutexLockGuard& operator=(const MutexLockGuard&) = delete;

private:
    Mutex& mutex_;
};

}  // namespace corvel
