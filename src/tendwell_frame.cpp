#include "tendwell_frame.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "corvel/clock.h"
#include "instance/tendwell_instance_claim.h"
#include "keeper/process_keeper.h"
#include "plume/plume.h"
#include "tendwell_configure.h"
#include "tendwell_file_watch.h"
#include "tendwell_slave_service_handler.h"
#include "tendwell_tendlet_manager.h"
#include "tendwell_unix_server.h"
#include "tendwell_utility.h"

namespace tendwell {

namespace {

// The look once a second, and, for a second after a removal, the first look again
// after one that could not put everything back; that wait doubles up to the look
// once a second. What is still not back after that second (a file another program
// put at a path, a lock another holds) is looked at once a second.
constexpr int kLookMs = 1000;
constexpr int kFirstRelookMs = 5;
constexpr uint64_t kQuickLooksNs = 1000000000ULL;
// How long the claim is left alone after a clearing that may have left looks
// waiting: a flood of them costs the main loop one batch this often.
constexpr uint64_t kClaimPauseNs = 100000000ULL;

}  // namespace

TendwellFrame* TendwellFrame::GetInstance() {
    // Never destroyed: a signal may still arrive while the process exits.
    static TendwellFrame* instance = new TendwellFrame();
    return instance;
}

TendwellFrame::TendwellFrame() : wake_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void TendwellFrame::Request(int32_t state) {
    int32_t current = run_state_.load();
    while (current != kStandDown && !run_state_.compare_exchange_weak(current, state)) {
    }
    if (wake_fd_ < 0) return;
    // A signal handler may interrupt a thread between its call and its look at errno.
    const int saved_errno = errno;
    const uint64_t one = 1;
    ssize_t ignored = write(wake_fd_, &one, sizeof(one));
    (void)ignored;
    errno = saved_errno;
}

bool TendwellFrame::WaitRequest(int ms, FileWatch* watch, InstanceClaim* claim) {
    const uint64_t start_ns = corvel::monotonic_ns();
    for (int left = ms; left > 0 && run_state_.load() == kRun;
         left = corvel::remaining_ms(start_ns, ms)) {
        // The wake-up descriptor is never read: once a request came, every later
        // wait returns at once. poll skips a descriptor of -1 and, without any,
        // only waits.
        struct pollfd fds[2 + InstanceClaim::kMaxNames] = {{wake_fd_, POLLIN, 0},
                                                            {watch->fd(), POLLIN, 0}};
        nfds_t count = 2;
        int wait_ms = left;
        const uint64_t now_ns = corvel::monotonic_ns();
        if (now_ns >= claim_resume_ns_) {
            for (int fd : claim->fds()) fds[count++] = {fd, POLLIN, 0};
        } else {
            // Until the claim is polled again, rounded up.
            wait_ms = static_cast<int>(
                std::min<uint64_t>(left, (claim_resume_ns_ - now_ns + 999999) / 1000000));
        }
        poll(fds, count, wait_ms);
        if (fds[1].revents != 0 && watch->Drain()) return true;
        // Each client looks at the claim's holder: its connection is closed at once.
        bool looked_at = false;
        for (nfds_t i = 2; i < count; ++i) looked_at = looked_at || fds[i].revents != 0;
        if (looked_at && claim->Dismiss()) {
            claim_resume_ns_ = corvel::monotonic_ns() + kClaimPauseNs;
        }
    }
    return false;
}

int TendwellFrame::Init() {
    SetDaemonRequests({[] { GetInstance()->SetStop(); }, [] { GetInstance()->SetAbort(); }});
    ThriftUnixServer* server = ThriftUnixServer::GetInstance();
    // Before anything is loaded: a daemon that finds its socket path taken ends
    // here, having read and written nothing.
    server->Bind();
    // The daemon keeps the state file, holding its lock, for its life: its keeper's
    // table is the one saved.
    ProcessKeeper::GetInstance()->SetOwnsFiles();
    int ret = TendletManager::GetInstance()->Init(g_conf);
    if (ret != 0) {
        TW_FATAL("Init", "init tendlet manager fail,ret:%d", ret);
        return -1;
    }
    TW_NOTICE("Init", "init ok...");
    return 0;
}

int TendwellFrame::Run() {
    pthread_t monitor;
    bool monitor_started = StartThread(&monitor, Monitor, "Monitor");
    // Tendlets are started only by a daemon that can be reached to stop them.
    check_started_ = monitor_started && WaitServerListening() &&
                     StartThread(&check_thread_, Check, "Check");
    MainLoop();
    TW_NOTICE("Run", "begin to join update thread");
    if (monitor_started) pthread_join(monitor, nullptr);
    TW_NOTICE("Run", "exit now...");
    return thread_failed_ ? -1 : 0;
}

bool TendwellFrame::StartThread(pthread_t* thread, void* (*body)(void*), const char* name) {
    int err = pthread_create(thread, nullptr, body, nullptr);
    if (err == 0) return true;
    TW_FATAL("Run", "create %s thread fail, ret:%d", name, err);
    thread_failed_ = true;
    SetStop();
    return false;
}

bool TendwellFrame::WaitServerListening() {
    ThriftUnixServer* server = ThriftUnixServer::GetInstance();
    while (run_state_.load() == kRun) {
        if (server->WaitListening(100)) return true;
    }
    return false;
}

void* TendwellFrame::Monitor(void*) {
    TW_NOTICE("Monitor", "begin to start ...");
    int ret = ThriftUnixServer::GetInstance()->Run();
    TW_NOTICE("Monitor", "begin to stop, return:%d ...", ret);
    plume_closelog_r();
    return nullptr;
}

void* TendwellFrame::Check(void*) {
    TW_NOTICE("Check", "begin to..");
    TendletManager::GetInstance()->period();
    TW_NOTICE("Check", "exit..");
    plume_closelog_r();
    return nullptr;
}

void TendwellFrame::MainLoop() {
    FileWatch watch;
    ThriftUnixServer* server = ThriftUnixServer::GetInstance();
    const std::string socket_path = server->GetSocketPath();
    watch.Add(socket_path, true);
    watch.Add(LockFilePath(socket_path), true);
    // The keeper replaces it at each save: only its removal concerns the look.
    watch.Add(StateFilePath(g_conf), false);
    watch.Add(StateLockPath(g_conf), true);
    int wait_ms = kLookMs;
    uint64_t quick_until_ns = 0;
    while (run_state_.load() == kRun) {
        const bool changed = WaitRequest(wait_ms, &watch, &server->Claim());
        const uint64_t now_ns = corvel::monotonic_ns();
        if (changed) quick_until_ns = now_ns + kQuickLooksNs;
        ModifyUnixSocketMod();
        KeepFiles(changed);
        if (!server->Supplanted().empty()) {
            Request(kStandDown);
            break;
        }
        // Not everything is back, or a directory has just been watched again (what
        // went from it before is not told): look again soon. A directory removed
        // while this daemon's socket is in it is told gone only once the socket is
        // closed, and one made again may be going already.
        const bool settled = watch.Rearm() && server->FilesInPlace();
        if (settled || now_ns >= quick_until_ns) {
            wait_ms = kLookMs;
        } else {
            wait_ms = std::min(wait_ms == kLookMs ? kFirstRelookMs : wait_ms * 2, kLookMs);
        }
    }
    const int32_t state = run_state_.load();
    if (state == kStop) {
        TendletManager::GetInstance()->Stop();
    } else {
        // The state file is another keeper's: this one writes it no more, and so
        // starts nothing.
        if (state == kStandDown) ProcessKeeper::GetInstance()->Disown();
        TendletManager::GetInstance()->Abort();
    }
    // Before the lock goes: a daemon started the moment it is free must find
    // the keeper's table saved for the last time.
    EndKeeping();
    usleep(10000);
    server->Stop();
    TW_NOTICE("MainLoop", "exit..");
}

void TendwellFrame::KeepFiles(bool changed) {
    ThriftUnixServer* server = ThriftUnixServer::GetInstance();
    server->KeepLockFile();
    // The keeper writes its state file again at its next pass, which a removal
    // need not wait for.
    if (changed) TendletManager::GetInstance()->WakeLoop();
    server->KeepSocket();
    server->KeepClaim();
}

void TendwellFrame::EndKeeping() {
    if (check_started_) {
        pthread_join(check_thread_, nullptr);
    } else {
        // The loop has been told to end, so this only shuts the keeper down.
        TendletManager::GetInstance()->period();
    }
}

void TendwellFrame::ModifyUnixSocketMod() {
    if (socket_mode_applied_) return;
    std::string path = ThriftUnixServer::GetInstance()->GetSocketPath();
    struct stat st;
    // Only a socket is touched: nothing here may create a file at the socket path.
    int ret = lstat(path.c_str(), &st);
    if (ret != 0 || !S_ISSOCK(st.st_mode)) {
        TW_WARNING("ModifyUnixSocketMod", "%s access return %d, errno:%d", path.c_str(), ret,
                   ret != 0 ? errno : ENOTSOCK);
        return;
    }
    ret = chmod(path.c_str(), 0600);
    if (ret != 0) {
        TW_WARNING("ModifyUnixSocketMod", "%s chmod return %d, errno:%d", path.c_str(), ret,
                   errno);
    }
    socket_mode_applied_ = true;
}

}  // namespace tendwell
