// The task interface of the thread pool.
#pragma once

namespace corvel {

class Runnable {
public:
    virtual ~Runnable() = default;
    // The task's body, called once each time the task is handed to a pool.
    virtual int run() = 0;
    // Free for a task to report an outcome; the pool never calls it.
    virtual int result() { return 0; }
};

}  // namespace corvel
