// Owning wrapper of a pthread condition variable.
#pragma once

#include <pthread.h>

namespace corvel {

class Mutex;

// Waits are on the realtime clock; every failing call raises std::runtime_error
// whose text names the operation.
class Condition {
public:
    Condition();
    ~Condition();
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;

    // mutex must be held by the caller.
    void wait(Mutex& mutex);
    // ms below 0 waits without limit. True when woken, false when ms ran out.
    bool wait(Mutex& mutex, int ms);
    void wake_one();
    void wake_all();

private:
    pthread_cond_t* cond_;
};

}  // namespace corvel
