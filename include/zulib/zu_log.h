// zulib process log: a normal and a ".wf" file per process, optional per-thread and
// self-defined files, mirrored to syslog and standard error, with size rotation.
// While plume is open every call here is handed to plume.
#pragma once

#include <stdarg.h>
#include <stdint.h>

constexpr int ZU_LOG_FATAL = 1;
constexpr int ZU_LOG_WARNING = 2;
constexpr int ZU_LOG_NOTICE = 4;
constexpr int ZU_LOG_TRACE = 8;
constexpr int ZU_LOG_DEBUG = 16;
// Banners without prefix: to the normal file and to the ".wf" file.
constexpr int ZU_LOG_BANNER = -1;
constexpr int ZU_LOG_BANNER_WF = -2;
// Self-defined levels address self-defined file (level & 255).
constexpr int ZU_LOG_SELF_BASE = 256;
constexpr int ZU_LOG_SELF_NUM = 8;

// `spec` flags.
constexpr int ZU_LOG_SPEC_STDERR = 2;      // copy every line to standard error
constexpr int ZU_LOG_SPEC_THREADFILE = 8;  // a thread log gets files of its own
constexpr int ZU_LOG_SPEC_KEEPROTATED = 16;  // keep rotated files under a dated name

// Open state shared with plume.
constexpr int ZU_LOG_STATE_NONE = 0;
constexpr int ZU_LOG_STATE_ZULOG = 1;
constexpr int ZU_LOG_STATE_PLUME = 2;

struct zu_logstat_t {
    int events;     // lines of level L <= events are written
    int to_syslog;  // lines whose level & to_syslog != 0 also go to syslog
    int spec;       // ZU_LOG_SPEC_* flags
};

struct zu_selflog_t {
    char names[ZU_LOG_SELF_NUM][256];
    char enabled[ZU_LOG_SELF_NUM];
    int count;
};

int zu_openlog(const char* path, const char* procname, zu_logstat_t* stat, int maxsize_mb,
               zu_selflog_t* self);
int zu_openlog_r(const char* threadname, zu_logstat_t* stat, zu_selflog_t* self);
int zu_writelog(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
int zu_vwritelog(int level, const char* fmt, va_list args);
int zu_closelog(int abnormal);
int zu_closelog_r(int abnormal);
int zu_is_level_enabled(int level);
int zu_log_getlevel();
int zu_log_setlevel(int level);

// The open state shared with plume (0 nothing, 1 zulib log, 2 plume).
int zu_log_get_open_state();
void zu_log_set_open_state(int state);
// Sets the state to desired only when it holds expected; 1 when it did.
int zu_log_cas_open_state(int expected, int desired);

// zulib does not link plume: plume fills this table before it sets the open state to 2,
// and zulib hands its calls over through it while that state holds.
struct zu_plume_hooks_t {
    int (*openlog_r)();
    int (*closelog)(int wait_ms);
    int (*closelog_r)();
    int (*vwritelog)(int level, const char* fmt, va_list args);
    int (*is_level_enabled)(int level);
};
void zu_log_set_plume_hooks(const zu_plume_hooks_t* hooks);
