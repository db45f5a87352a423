// Public API of the plume logging library: open and close, per-thread handles and
// leveled, formatted writes. A level is a bit index (level & 63) into a 64-bit mask.
#pragma once

#include <stdarg.h>
#include <stdint.h>

#include "zulib/zu_log.h"

namespace plumespace {
class Layout;
class Category;
class Appender;
}  // namespace plumespace

struct plume_event_t;

// Standard levels; 32..63 are self-defined levels registered by name.
constexpr int PLUME_LOG_FATAL = 1;
constexpr int PLUME_LOG_WARNING = 2;
constexpr int PLUME_LOG_NOTICE = 4;
constexpr int PLUME_LOG_TRACE = 8;
constexpr int PLUME_LOG_DEBUG = 16;

// Mask of the five standard levels.
constexpr uint64_t PLUME_DEFAULT_MASK = 0x10116ULL;

// File cutting of a device (`splite_type`).
constexpr unsigned char PLUME_TRUNCT = 0;
constexpr unsigned char PLUME_SIZECUT = 1;
constexpr unsigned char PLUME_DATECUT = 2;

// The open state shared with the zulib process log, which defines it.
constexpr int PLUME_STATE_NONE = ZU_LOG_STATE_NONE;
constexpr int PLUME_STATE_ZULOG = ZU_LOG_STATE_ZULOG;
constexpr int PLUME_STATE_PLUME = ZU_LOG_STATE_PLUME;

struct plume_param_t {
    char key[2048];
    char value[2048];
};

constexpr int PLUME_MAX_PARAMS = 64;

// One log destination. Fill it after plume_resetdevice.
struct plume_device_t {
    char path[1024];       // directory of the log file
    char file[256];        // log file name
    char auth[64];         // NET only
    char type[16];         // "FILE", "TTY", ... or a registered type
    char reserved1[32];    // strftime format of cut-file suffixes; empty: "%Y%m%d%H%M%S"
    char reserved2[32];
    char reserved3[32];
    char reserved4[32];
    int log_size;          // cut size in MB
    signed char open;      // non-zero: the appender made from this device prints
    unsigned char splite_type;  // PLUME_TRUNCT, PLUME_SIZECUT or PLUME_DATECUT
    unsigned char compress;     // NET only
    int cuttime;           // DATECUT period in minutes
    uint64_t log_mask;     // levels this device writes; 0 writes nothing
    char name[16];
    int param_num;
    plume_param_t params[PLUME_MAX_PARAMS];
    int param_count;
    int param_size;
    plume_param_t* param_list;
    plumespace::Layout* layout;  // null or the default layout after reset
};

// Process level record.
struct plume_logstat_t {
    int level;              // opens standard levels l <= level
    char userevents[1024];  // self-defined level names; empty opens all of 32..63
    int ttydisplay;
};

// Per-thread handle.
struct plume_handle_t {
    plumespace::Category* category;
    plume_event_t* event;
    unsigned long generation;  // open generation the category belongs to
    unsigned long opened;      // thread id once plume_openlog_r succeeded, else 0
};

typedef plumespace::Appender* (*plume_appender_fn)(plume_device_t& dev);

int plume_openlog(const char* procname, plume_device_t* devs, int ndev, plume_logstat_t* stat);
int plume_closelog(int wait_ms);
int plume_openlog_r();
int plume_closelog_r();

int plume_writelog(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
int plume_vwritelog(int level, const char* fmt, va_list args);
int plume_writelog_ex(int level, int version, const char* type, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
int plume_writelog_byname(const char* levelname, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));
int plume_writelog_byname_ex(const char* levelname, int version, const char* type,
                             const char* fmt, ...) __attribute__((format(printf, 4, 5)));

plumespace::Category* plume_getcategory();
plume_handle_t* plume_gethandle();
plume_event_t* plume_getevent();
int plume_changelogtype(const char* type);

int plume_resetdevice(plume_device_t* dev);
int plume_resetlogstat(plume_logstat_t* stat);
uint64_t plume_level_to_mask(int level);
int plume_setlogstat(plume_logstat_t* stat);
int plume_add_selflog(plume_device_t* devs, int n, const char* names);
int plume_get_selflevel_id(const char* name);
int plume_selflevel_to_mask(plume_device_t* dev, const char* names);
int plume_register_appender_type(const char* type, plume_appender_fn get_appender,
                                 plume_appender_fn try_appender);
int plume_is_level_enabled(int level);
int plume_is_level_enabled_byname(const char* levelname);

int plume_get_open_state();
int plume_set_open_state(int state);
int plume_which_log_open();
int plume_resetlog();
