// Categories: named nodes a thread writes through, each with a level record and a list
// of appenders. Names form a tree by dots (MAIN and MAIN.<thread>).
#pragma once

#include <stdarg.h>
#include <stdint.h>

#include <atomic>

#include "plume/plume.h"

namespace plumespace {

// Level record: the levels that pass (bit per level). Shared by a category and its children.
struct LogStat {
    std::atomic<uint64_t> mask{PLUME_DEFAULT_MASK};
};

// The mask of stat: the standard levels up to its level and its named self-defined
// levels (all of them when it names none), which are registered when new.
uint64_t logstat_mask(const plume_logstat_t* stat);

class Category {
public:
    static constexpr int MAX_APPENDERS = 1024;
    typedef void (*Callback)(int level, const char* fmt, va_list args, void* param);

    explicit Category(Category* father);
    virtual ~Category();
    Category(const Category&) = delete;
    Category& operator=(const Category&) = delete;

    void setLogstat(LogStat* stat);
    int addAppender(Appender* appender);
    void removeAppender(Appender* appender);
    void clearAppenders();
    int useBackup(const char* type);
    int logv(int level, const char* fmt, va_list args);
    int log(int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

    // The named category, made with its fathers when missing; null for a name
    // beginning with '.' or when it cannot be made.
    static Category* getCategory(const char* name);

    // Pushes NDC pairs into the category's event and writes records, for chained calls.
    class Writer {
    public:
        explicit Writer(Category* category) : category_(category) {}
        Writer& push(const char* key, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
        int write(int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

    private:
        Category* category_;
    };

    // The level record in force (the default one when none is set); may be null
    // while the library is closed.
    LogStat* currentLogstat() const;

    plume_event_t* event = nullptr;  // null: the calling thread's event
    Category* father;
    LogStat* logstat;
    Appender* appenders[MAX_APPENDERS];
    std::atomic<int> appender_num{0};
    int use_backup[MAX_APPENDERS];
    int backup_set = 0;
    Writer writer{this};

    static Callback _g_callback;
    static void* _g_callback_param;

private:
    plume_event_t* currentEvent() const;
};

}  // namespace plumespace
