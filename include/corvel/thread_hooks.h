// Calls that every worker thread makes when it starts and when it ends, registered by a
// library above this one (the logger front end), which the threads so reach without
// including it. With none registered a thread start costs one atomic load.
#pragma once

namespace corvel {

struct ThreadHooks {
    void (*on_start)();
    void (*on_end)();
};

// Registers hooks, an object that lives as long as the process; null: none.
void set_thread_hooks(const ThreadHooks* hooks);

// Makes the start call at construction and the end call of the same hooks at
// destruction, also when a cancellation unwinds the thread.
class ThreadHookScope {
public:
    ThreadHookScope();
    ~ThreadHookScope();
    ThreadHookScope(const ThreadHookScope&) = delete;
    ThreadHookScope& operator=(const ThreadHookScope&) = delete;

private:
    const ThreadHooks* hooks_;
};

}  // namespace corvel
