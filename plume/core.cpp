#include "core.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/time.h>

#include <atomic>
#include <new>

#include "category.h"
#include "sendsvr/check_svr.h"
#include "name_mg.h"
#include "plume_diag.h"

namespace plumespace {
namespace {

bool g_initialised = false;
std::atomic<LogStat*> g_default_logstat{nullptr};

// Stores a new default level record under a fresh name; false when it cannot be stored.
bool make_default_logstat() {
    LogStat* stat = new (std::nothrow) LogStat();
    if (!stat) return false;
    for (;;) {
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        char name[64];
        snprintf(name, sizeof(name), "%ld%ld%d", static_cast<long>(tv.tv_sec), static_cast<long>(tv.tv_usec), rand());
        int ret = NameMg::getInstance()->set(NAME_LOGSTAT, name, stat);
        if (ret == 0) break;
        if (ret != 1) {  // only a taken name is worth another try
            delete stat;
            return false;
        }
    }
    g_default_logstat.store(stat);
    return true;
}

}  // namespace

std::mutex& core_mutex() {
    static std::mutex mutex;
    return mutex;
}

int core_init() {
    std::lock_guard<std::mutex> lock(core_mutex());
    if (g_initialised) return 0;
    if (NameMg::getInstance()->create() != 0) {
        PLUME_DIAG("create name manage err");
        return -1;
    }
    if (!g_default_logstat.load() && !make_default_logstat()) {
        PLUME_DIAG("create def logstat err");
        NameMg::getInstance()->destroy();
        return -1;
    }
    g_initialised = true;
    return 0;
}

int core_stop_senders(int wait_ms) {
    if (wait_ms == -1) wait_ms = INT_MAX;
    if (wait_ms > 0) CheckSvr::waitIfMade(wait_ms);
    CheckSvr::release();
    return 0;
}

int core_close() {
    // The checker's and send servers' threads end first, outside the core mutex: a
    // thread that writes a line may be opening a handle, which takes it.
    CheckSvr::release();
    NameMg::getInstance()->stopSenders();
    std::lock_guard<std::mutex> lock(core_mutex());
    NameMg::getInstance()->destroy();
    g_default_logstat.store(nullptr);
    g_initialised = false;
    return 0;
}

bool core_initialised() {
    std::lock_guard<std::mutex> lock(core_mutex());
    return g_initialised;
}

LogStat* default_logstat() { return g_default_logstat.load(); }

}  // namespace plumespace
