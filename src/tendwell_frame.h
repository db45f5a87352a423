// The running daemon's skeleton: its run state, the Monitor thread that serves
// the control socket, the Check thread that keeps the tendlets, the main loop
// and the orderly shutdown.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include <atomic>

namespace tendwell {

class FileWatch;
class InstanceClaim;

class TendwellFrame {
public:
    // Run states.
    static constexpr int32_t kRun = 0;
    static constexpr int32_t kStop = 1;
    static constexpr int32_t kAbort = 2;
    // Another process keeps the state file: the daemon ends as an abort ends,
    // leaving the tendlets to that keeper, but saves nothing. No request
    // overrides it.
    static constexpr int32_t kStandDown = 3;

    static TendwellFrame* GetInstance();

    // Initialises the tendlet manager with the keeper; 0, or -1.
    int Init();
    // Starts the threads, runs the main loop until a stop, abort or stand-down,
    // shuts down and joins. 0, or -1 when a thread could not be created.
    int Run();
    // True once the daemon has stood down (ThriftUnixServer::Supplanted says why).
    bool StoodDown() const { return run_state_.load() == kStandDown; }
    // Safe from a signal handler: a lock-free store and a write to the wake-up
    // descriptor.
    void SetStop() { Request(kStop); }
    void SetAbort() { Request(kAbort); }

    static void* Monitor(void* arg);
    static void* Check(void* arg);

private:
    TendwellFrame();
    void Request(int32_t state);
    // Creates a joinable thread; on failure logs it and asks for a stop.
    bool StartThread(pthread_t* thread, void* (*body)(void*), const char* name);
    // Waits until the server listens; false when a stop or abort came first.
    bool WaitServerListening();
    // Waits ms, or until a stop or abort request or a change that watch tells,
    // closing what connects to the claim meanwhile, a batch at a time: after one
    // that may have left some, the claim is left alone for a moment. True when
    // one of the daemon's files has gone or been replaced.
    bool WaitRequest(int ms, FileWatch* watch, InstanceClaim* claim);
    void MainLoop();
    // The look after the daemon's files; changed: one of them has just gone.
    void KeepFiles(bool changed);
    // Ends the keeping loop and shuts the keeper down: in the Check thread when
    // it runs, else here.
    void EndKeeping();
    void ModifyUnixSocketMod();

    std::atomic<int32_t> run_state_{kRun};
    static_assert(std::atomic<int32_t>::is_always_lock_free, "the run state is set by signals");
    // An eventfd that every request makes readable for good; -1 when none could
    // be made, and the main loop then looks once a second.
    int wake_fd_;
    pthread_t check_thread_;
    bool check_started_ = false;
    bool socket_mode_applied_ = false;
    bool thread_failed_ = false;
    // The claim is not polled before this time (monotonic): no flood of looks
    // keeps the main loop from its stop and its look after the files.
    uint64_t claim_resume_ns_ = 0;
};

}  // namespace tendwell
