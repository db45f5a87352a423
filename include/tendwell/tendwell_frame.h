// The running daemon's skeleton: its run state, the Monitor thread that serves
// the control socket, the Check thread that keeps the tendlets, the main loop
// and the orderly shutdown.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include <atomic>

namespace tendwell {

class TendwellFrame {
public:
    // Run states.
    static constexpr int32_t kRun = 0;
    static constexpr int32_t kStop = 1;
    static constexpr int32_t kAbort = 2;

    static TendwellFrame* GetInstance();

    // Initialises the tendlet manager with the keeper; 0, or -1.
    int Init();
    // Starts the threads, runs the main loop until a stop or abort, shuts down
    // and joins. 0, or -1 when a thread could not be created.
    int Run();
    // Safe from a signal handler: a single lock-free store.
    void SetStop() { run_state_.store(kStop); }
    void SetAbort() { run_state_.store(kAbort); }

    static void* Monitor(void* arg);
    static void* Check(void* arg);

private:
    TendwellFrame() = default;
    // Creates a joinable thread; on failure logs it and asks for a stop.
    bool StartThread(pthread_t* thread, void* (*body)(void*), const char* name);
    // Waits until the server listens; false when a stop or abort came first.
    bool WaitServerListening();
    void MainLoop();
    void ModifyUnixSocketMod();

    std::atomic<int32_t> run_state_{kRun};
    static_assert(std::atomic<int32_t>::is_always_lock_free, "the run state is set by signals");
    bool socket_mode_applied_ = false;
    bool thread_failed_ = false;
};

}  // namespace tendwell
