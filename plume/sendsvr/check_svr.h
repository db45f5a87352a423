// The server checker: one thread for the process that, every 10 seconds, tries to
// connect each held send server that has no connected server.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace plumespace {

class SendSvr;

class CheckSvr {
public:
    static constexpr int MAX_SERVERS = 32;
    static constexpr std::chrono::seconds INTERVAL{10};

    // The checker, made on first use; null when memory is short.
    static CheckSvr* getInstance();
    // Waits, while any held server still has lines to send, up to ms (negative: without
    // limit) in steps of 100 ms. Does nothing when there is no checker.
    static int waitIfMade(int ms);
    // Ends the thread and deletes the checker, when there is one.
    static void release();
    // Drops server from the checker's list, when there is a checker.
    static void forget(SendSvr* server);

    // 0, or -1 when MAX_SERVERS are held. The first server starts the thread.
    int add(SendSvr* server);
    int wait(int ms);

private:
    CheckSvr() = default;
    ~CheckSvr();
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    SendSvr* servers_[MAX_SERVERS];
    int num_ = 0;
    bool quit_ = false;
    std::thread thread_;
};

}  // namespace plumespace
