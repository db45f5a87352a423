// The registry of device types. Built-in types are registered on first use.
#include <string.h>

#include <mutex>
#include <vector>

#include "plume/appender.h"
#include "async_file_appender.h"
#include "file_appender.h"
#include "net_appender.h"
#include "tty_appender.h"
#include "zulog_appender.h"

namespace plumespace {
namespace {

constexpr int TYPE_SIZE = 16;

struct TypeEntry {
    char type[TYPE_SIZE];
    plume_appender_fn try_appender;
    plume_appender_fn get_appender;
};

struct TypeRegistry {
    std::mutex mutex;  // also serialises the making of appenders
    std::vector<TypeEntry> entries;
};

void add_entry(TypeRegistry& r, const char* type, plume_appender_fn get_appender, plume_appender_fn try_appender) {
    TypeEntry e{};
    strncpy(e.type, type, TYPE_SIZE - 1);
    e.try_appender = try_appender;
    e.get_appender = get_appender;
    r.entries.push_back(e);
}

TypeRegistry& registry() {
    static TypeRegistry* r = [] {
        TypeRegistry* made = new TypeRegistry();
        add_entry(*made, "FILE", FileAppender::getAppender, FileAppender::tryAppender);
        add_entry(*made, "AFILE", AsyncFileAppender::getAppender, FileAppender::tryAppender);
        add_entry(*made, "NET", NetAppender::getAppender, NetAppender::tryAppender);
        add_entry(*made, "TTY", TtyAppender::getAppender, TtyAppender::tryAppender);
        add_entry(*made, "ZULOG", ZuLogAppender::getAppender, ZuLogAppender::tryAppender);
        add_entry(*made, "ZUNET", ZuLogAppender::getAppender, ZuLogAppender::tryAppender);
        return made;
    }();
    return *r;
}

const TypeEntry* find_type(TypeRegistry& r, const char* type) {
    for (const TypeEntry& e : r.entries)
        if (strcmp(e.type, type) == 0) return &e;
    return nullptr;
}

template <size_t N>
void terminate(char (&field)[N]) {
    field[N - 1] = '\0';
}

}  // namespace

Appender* Appender::getAppenderByType(plume_device_t* dev) {
    TypeRegistry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (dev->log_size < 1) dev->log_size = 2018;
    if (dev->cuttime < 0 || dev->cuttime > 10000000) dev->cuttime = 10000000;
    terminate(dev->path);
    terminate(dev->file);
    terminate(dev->auth);
    terminate(dev->type);
    terminate(dev->reserved1);
    terminate(dev->reserved2);
    terminate(dev->reserved3);
    terminate(dev->reserved4);
    const TypeEntry* e = find_type(r, dev->type);
    if (!e) return nullptr;
    Appender* a = e->get_appender(*dev);
    if (a) {
        a->setLayout(dev->layout);
        a->is_open.store(dev->open);
    }
    return a;
}

Appender* Appender::tryAppenderByType(plume_device_t* dev) {
    TypeRegistry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    terminate(dev->type);
    const TypeEntry* e = find_type(r, dev->type);
    return e ? e->try_appender(*dev) : nullptr;
}

int Appender::registerType(const char* type, plume_appender_fn get_appender, plume_appender_fn try_appender) {
    // An entry without its functions would crash the first device of its type.
    if (!type || strlen(type) >= TYPE_SIZE || !get_appender || !try_appender) return -1;
    TypeRegistry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (find_type(r, type)) return -1;
    add_entry(r, type, get_appender, try_appender);
    return 0;
}

int Appender::isTypeRegistered(const char* type) {
    if (!type || strlen(type) >= TYPE_SIZE) return 0;
    TypeRegistry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return find_type(r, type) ? 1 : 0;
}

}  // namespace plumespace
