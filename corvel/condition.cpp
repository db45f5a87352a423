#include "corvel/condition.h"

#include <errno.h>
#include <time.h>

#include <stdexcept>

#include "corvel/mutex.h"

namespace corvel {

Condition::Condition() : cond_(new pthread_cond_t) {
    if (pthread_cond_init(cond_, nullptr) != 0) {
        delete cond_;
        throw std::runtime_error("Condition::Condition()");
    }
}

Condition::~Condition() {
    pthread_cond_destroy(cond_);
    delete cond_;
}

void Condition::wait(Mutex& mutex) {
    if (pthread_cond_wait(cond_, mutex.mutex_) != 0) throw std::runtime_error("Condition::wait()");
}

bool Condition::wait(Mutex& mutex, int ms) {
    if (ms < 0) {
        wait(mutex);
        return true;
    }
    struct timespec until;
    if (clock_gettime(CLOCK_REALTIME, &until) != 0) throw std::runtime_error("Condition::wait()");
    until.tv_sec += ms / 1000;
    until.tv_nsec += (ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    int rc = pthread_cond_timedwait(cond_, mutex.mutex_, &until);
    if (rc == 0) return true;
    if (rc == ETIMEDOUT) return false;
    throw std::runtime_error("Condition::wait()");
}

void Condition::wake_one() {
    if (pthread_cond_signal(cond_) != 0) throw std::runtime_error("Condition::wake_one()");
}

void Condition::wake_all() {
    if (pthread_cond_broadcast(cond_) != 0) throw std::runtime_error("Condition::wake_all()");
}

}  // namespace corvel
