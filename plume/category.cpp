#include "category.h"

#include <stdio.h>
#include <string.h>
#include <sys/time.h>

#include <new>

#include "plume/appender.h"
#include "plume/plume_event.h"
#include "core.h"
#include "name_mg.h"
#include "plume_diag.h"

namespace plumespace {

Category::Callback Category::_g_callback = nullptr;
void* Category::_g_callback_param = nullptr;

Category::Category(Category* father_category) : father(father_category) {
    memset(use_backup, 0, sizeof(use_backup));
    if (father) {
        logstat = father->logstat;
        int n = father->appender_num.load(std::memory_order_acquire);
        for (int i = 0; i < n; ++i) appenders[i] = father->appenders[i];
        appender_num.store(n, std::memory_order_release);
    } else {
        logstat = default_logstat();
    }
}

Category::~Category() = default;

void Category::setLogstat(LogStat* stat) { logstat = stat ? stat : default_logstat(); }

int Category::addAppender(Appender* appender) {
    int n = appender_num.load(std::memory_order_acquire);
    if (!appender || n >= MAX_APPENDERS) return -1;
    for (int i = 0; i < n; ++i)
        if (appenders[i] == appender) return 0;
    appenders[n] = appender;
    appender_num.store(n + 1, std::memory_order_release);
    return 0;
}

void Category::removeAppender(Appender* appender) {
    int n = appender_num.load(std::memory_order_acquire);
    int kept = 0;
    for (int i = 0; i < n; ++i) {
        if (appenders[i] == appender) continue;
        appenders[kept] = appenders[i];
        use_backup[kept++] = use_backup[i];
    }
    appender_num.store(kept, std::memory_order_release);
}

void Category::clearAppenders() { appender_num.store(0, std::memory_order_release); }

int Category::useBackup(const char* type) {
    if (backup_set == 1) return 0;
    int n = appender_num.load(std::memory_order_acquire);
    for (int i = 0; i < n; ++i)
        if (strcmp(appenders[i]->device.type, type) == 0) use_backup[i] = 1;
    backup_set = 1;
    return 0;
}

LogStat* Category::currentLogstat() const { return logstat ? logstat : default_logstat(); }

plume_event_t* Category::currentEvent() const { return event ? event : plume_get_thread_event(); }

int Category::logv(int level, const char* fmt, va_list args) {
    LogStat* stat = currentLogstat();
    if (!stat || !(stat->mask.load() & (1ULL << (level & 63)))) {
        // A filtered record still ends here: what was set for it must not reach the next.
        if (plume_event_t* ev = currentEvent()) plume_reset_event(ev);
        return 0;
    }
    if (_g_callback) {
        va_list copy;
        va_copy(copy, args);
        _g_callback(level, fmt, copy, _g_callback_param);
        va_end(copy);
    }
    plume_event_t* ev = currentEvent();
    if (!ev) return -1;
    gettimeofday(&ev->time, nullptr);
    ev->level = level;
    va_list copy;
    va_copy(copy, args);
    int len = vsnprintf(ev->msg, ev->msg_size, fmt, copy);
    va_end(copy);
    if (len < 0) len = snprintf(ev->msg, ev->msg_size, "%s", "plume: one message was lost because vsnprintf failed");
    if (len < 0) len = 0;
    if (len >= ev->msg_size) len = ev->msg_size - 1;
    ev->msg_len = len;
    int n = appender_num.load(std::memory_order_acquire);
    for (int i = 0; i < n; ++i) {
        Appender* a = appenders[i];
        if (!a->is_open.load()) continue;
        if (!use_backup[i])
            a->print(ev);
        else if (a->backup)
            a->backup->print(ev);
    }
    plume_reset_event(ev);
    return 0;
}

int Category::log(int level, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int ret = logv(level, fmt, args);
    va_end(args);
    return ret;
}

Category* Category::getCategory(const char* name) {
    if (!name || name[0] == '.') return nullptr;
    NameMg* names = NameMg::getInstance();
    if (Category* found = static_cast<Category*>(names->get(NAME_CATEGORY, name))) return found;
    char father_name[64];
    snprintf(father_name, sizeof(father_name), "%s", name);
    char* dot = strrchr(father_name, '.');
    Category* father = nullptr;
    if (dot && dot != father_name) {
        *dot = '\0';
        father = getCategory(father_name);
        if (!father) {
            PLUME_DIAG("get father err [%s] with father[%s]", name, father_name);
            return nullptr;
        }
    }
    Category* made = new (std::nothrow) Category(father);
    if (!made) return nullptr;
    int ret = names->set(NAME_CATEGORY, name, made);
    if (ret == 0) return made;
    delete made;
    // Another thread stored it first.
    return ret == 1 ? static_cast<Category*>(names->get(NAME_CATEGORY, name)) : nullptr;
}

Category::Writer& Category::Writer::push(const char* key, const char* fmt, ...) {
    char value[64];
    va_list args;
    va_start(args, fmt);
    vsnprintf(value, sizeof(value), fmt, args);
    va_end(args);
    if (plume_event_t* ev = category_->currentEvent()) plume_push_ndc(ev, key, value);
    return *this;
}

int Category::Writer::write(int level, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int ret = category_->logv(level, fmt, args);
    va_end(args);
    return ret;
}

}  // namespace plumespace
