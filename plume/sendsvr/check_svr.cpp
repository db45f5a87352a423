#include "check_svr.h"

#include <limits.h>

#include <new>
#include <system_error>

#include "plume/plume.h"
#include "plume_diag.h"
#include "send_svr.h"

namespace plumespace {
namespace {

std::mutex g_instance_mutex;
CheckSvr* g_instance = nullptr;

}  // namespace

CheckSvr* CheckSvr::getInstance() {
    std::lock_guard<std::mutex> lock(g_instance_mutex);
    if (!g_instance) g_instance = new (std::nothrow) CheckSvr();
    return g_instance;
}

int CheckSvr::waitIfMade(int ms) {
    std::lock_guard<std::mutex> lock(g_instance_mutex);
    return g_instance ? g_instance->wait(ms) : 0;
}

void CheckSvr::release() {
    CheckSvr* checker;
    {
        std::lock_guard<std::mutex> lock(g_instance_mutex);
        checker = g_instance;
        g_instance = nullptr;
    }
    delete checker;
}

void CheckSvr::forget(SendSvr* server) {
    std::lock_guard<std::mutex> lock(g_instance_mutex);
    if (!g_instance) return;
    std::lock_guard<std::mutex> checker_lock(g_instance->mutex_);
    int kept = 0;
    for (int i = 0; i < g_instance->num_; ++i)
        if (g_instance->servers_[i] != server) g_instance->servers_[kept++] = g_instance->servers_[i];
    g_instance->num_ = kept;
}

CheckSvr::~CheckSvr() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

int CheckSvr::add(SendSvr* server) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (num_ >= MAX_SERVERS) return -1;
    if (!thread_.joinable()) {
        try {
            thread_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            return -1;
        }
    }
    servers_[num_++] = server;
    return 0;
}

int CheckSvr::wait(int ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (num_ == 0) return 0;
    if (ms < 0) ms = INT_MAX;
    auto busy = [this] {
        for (int i = 0; i < num_; ++i)
            if (servers_[i]->pending() > 0) return true;
        return false;
    };
    for (; ms >= 1 && busy(); ms -= 100) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return 0;
}

void CheckSvr::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!quit_) {
        for (int i = 0; i < num_; ++i) {
            SendSvr* server = servers_[i];
            std::lock_guard<std::mutex> server_lock(server->mutex);
            if (server->connectWalk(1000) != 0) PLUME_DIAG("[%d][%s]server invalid", i, server->list);
        }
        wake_.wait_for(lock, INTERVAL, [this] { return quit_; });
    }
    lock.unlock();
    // A failure line written from this thread opened a handle of its own.
    if (plume_get_open_state() == PLUME_STATE_PLUME) plume_closelog_r();
}

}  // namespace plumespace
