#include "plume/plume.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "plume/appender.h"
#include "plume/layout.h"
#include "plume/plume_event.h"
#include "zulib/zu_log.h"
#include "category.h"
#include "core.h"
#include "level_names.h"
#include "name_mg.h"
#include "plume_diag.h"
#include "plumesig.h"
#include "thread_data.h"

using plumespace::Appender;
using plumespace::Category;
using plumespace::LogStat;
using plumespace::logstat_mask;

namespace {

const zu_plume_hooks_t PLUME_HOOKS = {plume_openlog_r, plume_closelog, plume_closelog_r, plume_vwritelog,
                                      plume_is_level_enabled};

std::atomic<Category*> g_main{nullptr};
std::atomic<int> g_open_threads{0};
std::mutex g_open_close_mutex;
std::atomic<int> g_closing{0};

const char* const BANNER_LINE = "---------------------------------------------------------------";
constexpr int MAX_EVENT_NAMES = 32;

bool plume_is_open() { return plume_get_open_state() == PLUME_STATE_PLUME; }

// Calls f with each name of text (split at blanks and commas, at most 32, each cut at
// 1023 characters); returns the number of names.
template <class F>
int for_each_name(const char* text, F f) {
    int count = 0;
    const char* p = text ? text : "";
    while (count < MAX_EVENT_NAMES) {
        p += strspn(p, " ,");
        size_t len = strcspn(p, " ,");
        if (len == 0) break;
        char name[plumespace::LEVEL_NAME_SIZE];
        snprintf(name, sizeof(name), "%.*s", static_cast<int>(len), p);
        f(name);
        ++count;
        p += len;
    }
    return count;
}

}  // namespace

uint64_t plumespace::logstat_mask(const plume_logstat_t* stat) {
    uint64_t mask = plume_level_to_mask(stat->level);
    int names = for_each_name(stat->userevents, [&mask](const char* name) {
        int id = plumespace::register_level_name(name);
        if (id > 31) mask |= 1ULL << (id & 63);
    });
    if (names == 0) mask |= 0xffffffff00000000ULL;
    return mask;
}

namespace {

// The terminal appender of the default layout, for the standard levels.
Appender* default_tty_appender() {
    std::unique_ptr<plume_device_t> dev(new plume_device_t);
    plume_resetdevice(dev.get());
    snprintf(dev->type, sizeof(dev->type), "%s", "TTY");
    dev->log_mask = PLUME_DEFAULT_MASK;
    return Appender::getAppenderByType(dev.get());
}

// The calling thread's handle, opened on demand; null when no category can be attached.
plume_handle_t* plume_get_handle() {
    if (plume_get_open_state() == PLUME_STATE_NONE) {
        zu_log_set_plume_hooks(&PLUME_HOOKS);
        zu_log_cas_open_state(PLUME_STATE_NONE, PLUME_STATE_PLUME);
    }
    plume_handle_t* h = plume_get_thread_data();
    if (!h) return nullptr;
    if (h->category) return h;
    if (plumespace::core_init() == 0 && plume_openlog_r() == 0 && h->category) return h;
    PLUME_DIAG("plume_openlog_r default err");
    return nullptr;
}

// The level record of the calling thread's category; null when no handle can be had.
LogStat* handle_logstat() {
    plume_handle_t* h = plume_get_handle();
    return h ? h->category->currentLogstat() : nullptr;
}

int write_with(plume_handle_t* h, int level, int version, const char* type, const char* fmt, va_list args) {
    if (version >= 0) {
        h->event->version = version;
        snprintf(h->event->type, sizeof(h->event->type), "%s", type);
    }
    return h->category->logv(level, fmt, args);
}

bool check_ex(int version, const char* type) {
    if (version < 0) {
        PLUME_DIAG("log version=%d should >= 0", version);
        return false;
    }
    if (!type || !type[0]) {
        PLUME_DIAG("log type should not be NULL");
        return false;
    }
    return true;
}

int vwritelog_ex(int level, int version, const char* type, const char* fmt, va_list args) {
    if (!plume_is_open()) return zu_vwritelog(level, fmt, args);
    plume_handle_t* h = plume_get_handle();
    if (!h) {
        PLUME_DIAG("gethandle error");
        return -1;
    }
    return write_with(h, level, version, type, fmt, args);
}

int vwritelog_byname(const char* levelname, int version, const char* type, const char* fmt, va_list args) {
    plume_handle_t* h = plume_get_handle();
    if (!h) {
        PLUME_DIAG("gethandler error");
        return -1;
    }
    int id = plumespace::get_level_id(levelname);
    if (id == 0) {
        PLUME_DIAG("get logiderr[%s]", levelname ? levelname : "");
        return -1;
    }
    return write_with(h, id, version, type, fmt, args);
}

// Frees everything the library holds and returns it to the closed state.
void finish_close() {
    plumesig_forget_all();  // their level records go with the core
    plumespace::core_close();
    g_main.store(nullptr);
    plume_end_generation();
    plume_set_open_state(PLUME_STATE_NONE);
    g_open_threads.store(0);
    g_closing.store(0);
}

int fail_open() {
    int state = plume_get_open_state();
    plume_set_open_state(PLUME_STATE_PLUME);
    plume_closelog(1000);
    plume_set_open_state(state);
    return -1;
}

}  // namespace

int plume_openlog(const char* procname, plume_device_t* devs, int ndev, plume_logstat_t* stat) {
    if (plume_get_open_state() != PLUME_STATE_NONE) {
        PLUME_DIAG("Log is open....");
        return -1;
    }
    if (!devs || ndev < 0) return -1;
    plume_set_procname(procname);
    if (plumespace::core_init() != 0) {
        PLUME_DIAG("init log err");
        return -1;
    }
    Category* main_category = Category::getCategory("MAIN");
    plume_handle_t* h = plume_get_thread_data();
    if (!main_category || !h) {
        PLUME_DIAG("get %s category err", "MAIN");
        return fail_open();
    }
    plume_attach_handle(h, main_category);
    main_category->setLogstat(plumespace::default_logstat());
    g_main.store(main_category);
    if (stat) {
        zu_log_setlevel(stat->level);
        plumespace::default_logstat()->mask.store(logstat_mask(stat));
    }
    if (ndev == 0) {
        if (main_category->addAppender(default_tty_appender()) != 0) {
            PLUME_DIAG("create appender default TTY err");
            return fail_open();
        }
    }
    for (int i = 0; i < ndev; ++i) {
        if (main_category->addAppender(Appender::getAppenderByType(&devs[i])) != 0) {
            PLUME_DIAG("create appender %s:%s err", devs[i].path, devs[i].file);
            return fail_open();
        }
    }
    plume_set_open_state(PLUME_STATE_PLUME);
    g_open_threads.store(1);  // the opening thread
    plume_writelog(PLUME_LOG_NOTICE, "%s open log ------------", BANNER_LINE);
    plume_writelog(PLUME_LOG_WARNING, "%s open log.wf ------------", BANNER_LINE);
    return 0;
}

int plume_closelog(int wait_ms) {
    if (!plume_is_open()) return zu_closelog(wait_ms);
    {
        std::lock_guard<std::mutex> lock(g_open_close_mutex);
        g_closing.store(1);
    }
    plumespace::core_stop_senders(wait_ms);
    g_open_threads.fetch_sub(1);
    plumespace::NameMg::getInstance()->stopAppenders();
    for (int i = 0; i < 10 && g_open_threads.load() >= 1; ++i) {
        PLUME_DIAG("Closelog: Waiting for other thread......");
        sleep(1);
    }
    for (int n = g_open_threads.load(); n > 0; --n)
        PLUME_DIAG("Did you forget to call plume_closelog_r in some threads?.....");
    finish_close();
    return 0;
}

int plume_openlog_r() {
    if (!plume_is_open()) {
        zu_logstat_t st = {zu_log_getlevel(), 1, 2};
        return zu_openlog_r(nullptr, &st, nullptr);
    }
    plume_handle_t* h = plume_get_thread_data();
    if (!h || h->opened) return -1;
    unsigned long self = static_cast<unsigned long>(pthread_self());
    {
        std::lock_guard<std::mutex> lock(g_open_close_mutex);
        if (g_closing.load() == 1) return -1;
        char name[64];
        snprintf(name, sizeof(name), "%s.%lu", "MAIN", self);
        Category* category = Category::getCategory(name);
        if (!category) {
            PLUME_DIAG("what's wrong, cate[%s] create err", name);
            return -1;
        }
        plume_attach_handle(h, category);
        if (!g_main.load() && category->appender_num.load() == 0) category->addAppender(default_tty_appender());
    }
    plume_writelog(PLUME_LOG_NOTICE, "%s open log_r.%u ------------", BANNER_LINE, static_cast<unsigned>(self));
    plume_writelog(PLUME_LOG_WARNING, "%s open log_r.%u.wf ------------", BANNER_LINE, static_cast<unsigned>(self));
    g_open_threads.fetch_add(1);
    h->opened = self;
    return 0;
}

int plume_closelog_r() {
    if (!plume_is_open()) return zu_closelog_r(0);
    plume_handle_t* h = plume_get_thread_data();
    if (!h || !h->opened) return -1;
    unsigned self = static_cast<unsigned>(pthread_self());
    plume_writelog(PLUME_LOG_NOTICE, "%s close log_r.%u ------------", BANNER_LINE, self);
    plume_writelog(PLUME_LOG_WARNING, "%s close log_r.%u.wf ------------", BANNER_LINE, self);
    g_open_threads.fetch_sub(1);
    h->opened = 0;
    return 0;
}

int plume_vwritelog(int level, const char* fmt, va_list args) { return vwritelog_ex(level, -1, nullptr, fmt, args); }

int plume_writelog(int level, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int ret = plume_vwritelog(level, fmt, args);
    va_end(args);
    return ret;
}

int plume_writelog_ex(int level, int version, const char* type, const char* fmt, ...) {
    if (!check_ex(version, type)) return -1;
    va_list args;
    va_start(args, fmt);
    int ret = vwritelog_ex(level, version, type, fmt, args);
    va_end(args);
    return ret;
}

int plume_writelog_byname(const char* levelname, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int ret = vwritelog_byname(levelname, -1, nullptr, fmt, args);
    va_end(args);
    return ret;
}

int plume_writelog_byname_ex(const char* levelname, int version, const char* type, const char* fmt, ...) {
    if (!check_ex(version, type)) return -1;
    va_list args;
    va_start(args, fmt);
    int ret = vwritelog_byname(levelname, version, type, fmt, args);
    va_end(args);
    return ret;
}

Category* plume_getcategory() {
    if (plume_get_open_state() == PLUME_STATE_ZULOG) {
        PLUME_DIAG("[plume_getcategory]Error: Using zulog now....");
        return nullptr;
    }
    plume_handle_t* h = plume_get_handle();
    return h ? h->category : nullptr;
}

plume_handle_t* plume_gethandle() { return plume_get_handle(); }

plume_event_t* plume_getevent() {
    plume_handle_t* h = plume_get_handle();
    return h ? h->event : nullptr;
}

int plume_changelogtype(const char* type) {
    if (!type) return 0;
    if (!plume_is_open()) {
        PLUME_DIAG("plume_openlog not called!");
        return -1;
    }
    plume_handle_t* h = plume_get_handle();
    if (!h) {
        PLUME_DIAG("gethandle error");
        return -1;
    }
    return h->category->useBackup(type);
}

int plume_resetdevice(plume_device_t* dev) {
    if (!dev) return -1;
    memset(dev, 0, sizeof(*dev));
    dev->log_size = 2048;
    dev->open = 1;
    dev->splite_type = PLUME_TRUNCT;
    dev->cuttime = 60;
    dev->layout = plume_default_layout();
    return 0;
}

int plume_resetlogstat(plume_logstat_t* stat) {
    if (!stat) return -1;
    memset(stat, 0, sizeof(*stat));
    stat->level = PLUME_LOG_DEBUG;
    return 0;
}

uint64_t plume_level_to_mask(int level) {
    uint32_t mask = 0;
    for (int l : {PLUME_LOG_FATAL, PLUME_LOG_WARNING, PLUME_LOG_NOTICE, PLUME_LOG_TRACE, PLUME_LOG_DEBUG})
        if (l <= level) mask |= 1u << l;
    return mask;
}

int plume_setlogstat(plume_logstat_t* stat) {
    if (!stat) return -1;
    LogStat* record = handle_logstat();
    if (!record) return -1;
    record->mask.store(logstat_mask(stat));
    return 0;
}

int plume_add_selflog(plume_device_t* devs, int n, const char* names) {
    if (!devs || n < 1) return -1;
    plume_handle_t* h = plume_get_handle();
    if (!h) {
        PLUME_DIAG("get handle err");
        return -1;
    }
    for (int i = 0; i < n; ++i) {
        Appender* a = Appender::getAppenderByType(&devs[i]);
        if (!a) continue;
        if (names) {
            int id = plumespace::register_level_name(names);
            if (id == 0) {
                PLUME_DIAG("create selflog %s err", names);
                return -1;
            }
            a->setMaskBit(id);
        }
        h->category->addAppender(a);
    }
    return 0;
}

int plume_get_selflevel_id(const char* name) { return plumespace::get_level_id(name); }

int plume_selflevel_to_mask(plume_device_t* dev, const char* names) {
    if (!dev) return -1;
    for_each_name(names, [dev](const char* name) {
        if (int id = plumespace::register_level_name(name)) dev->log_mask |= 1ULL << (id & 63);
    });
    return 0;
}

int plume_register_appender_type(const char* type, plume_appender_fn get_appender, plume_appender_fn try_appender) {
    return Appender::registerType(type, get_appender, try_appender);
}

int plume_is_level_enabled(int level) {
    if (!plume_is_open()) return zu_is_level_enabled(level);
    LogStat* record = handle_logstat();
    return record && (record->mask.load() >> (level & 63)) & 1 ? 1 : 0;
}

int plume_is_level_enabled_byname(const char* levelname) {
    int id = plumespace::get_level_id(levelname);
    return id == 0 ? 0 : plume_is_level_enabled(id);
}

int plume_get_open_state() { return zu_log_get_open_state(); }

int plume_set_open_state(int state) {
    // zulib hands its calls over through the hooks as soon as it sees state 2.
    if (state == PLUME_STATE_PLUME) zu_log_set_plume_hooks(&PLUME_HOOKS);
    zu_log_set_open_state(state);
    return 0;
}

int plume_which_log_open() {
    switch (plume_get_open_state()) {
    case PLUME_STATE_PLUME: return 1;
    case PLUME_STATE_ZULOG: return 2;
    default: return 0;
    }
}

int plume_resetlog() {
    if (!plume_is_open()) return 0;
    plumespace::NameMg::getInstance()->resetAppenders();
    finish_close();
    return 0;
}
