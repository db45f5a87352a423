#include "corvel/mutex.h"

#include <errno.h>

#include <stdexcept>

namespace corvel {

Mutex::Mutex() : mutex_(new pthread_mutex_t) {
    if (pthread_mutex_init(mutex_, nullptr) != 0) {
        delete mutex_;
        throw std::runtime_error("Mutex::Mutex()");
    }
}

Mutex::~Mutex() {
    pthread_mutex_destroy(mutex_);
    delete mutex_;
}

void Mutex::lock() {
    if (pthread_mutex_lock(mutex_) != 0) throw std::runtime_error("Mutex::lock()");
}

void Mutex::unlock() {
    if (pthread_mutex_unlock(mutex_) != 0) throw std::runtime_error("Mutex::unlock()");
}

bool Mutex::try_lock() {
    int rc = pthread_mutex_trylock(mutex_);
    if (rc == 0) return true;
    if (rc == EBUSY) return false;
    throw std::runtime_error("Mutex::try_lock()");
}

MutexLockGuard::MutexLockGuard(Mutex& mutex) : mutex_(mutex) { mutex_.lock(); }

// Unlocking a mutex this guard holds cannot fail; a failure means the mutex is
// corrupted, and ending the process is the only safe answer.
MutexLockGuard::~MutexLockGuard() { mutex_.unlock(); }

}  // namespace corvel
