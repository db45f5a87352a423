#include "zulib/zu_log.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <string>

#include "zulib/zu_logfile.h"
#include "zulib/zu_shm.h"

namespace {

constexpr int LINE_SIZE = 2048;

struct zu_log_t {
    zu_logfile_t* normal;
    zu_logfile_t* wf;
    uint64_t tid;
    int level;
    int to_syslog;
    int spec;
    zu_logfile_t* selflog[ZU_LOG_SELF_NUM];
};

std::atomic<int> g_open_state{ZU_LOG_STATE_NONE};
std::atomic<const zu_plume_hooks_t*> g_hooks{nullptr};
std::atomic<int> g_zu_level{16};
// Threshold of the default record; every file open sets it.
std::atomic<int> g_default_level{255};

// Written only by zu_openlog.
char g_dir[1024] = "./";
char g_procname[1024] = "";
int g_max_size = 0;

pthread_key_t g_key;
pthread_once_t g_key_once = PTHREAD_ONCE_INIT;
std::atomic<bool> g_key_made{false};

void make_key() {
    if (pthread_key_create(&g_key, nullptr) == 0) g_key_made.store(true);
}

zu_log_t* own_record() {
    return g_key_made.load() ? static_cast<zu_log_t*>(pthread_getspecific(g_key)) : nullptr;
}

zu_log_t default_record() {
    zu_log_t r{};
    r.normal = r.wf = zu_logfile_stderr();
    r.level = g_default_level.load();
    return r;
}

// plume's table while plume is open, else null.
const zu_plume_hooks_t* plume_forward() {
    if (g_open_state.load() != ZU_LOG_STATE_PLUME) return nullptr;
    return g_hooks.load();
}

const char* or_null(const char* s) { return s ? s : "null"; }

int syslog_priority(int level) {
    switch (level) {
    case ZU_LOG_FATAL: return LOG_ERR;
    case ZU_LOG_WARNING: return LOG_WARNING;
    case ZU_LOG_NOTICE: return LOG_INFO;
    case ZU_LOG_TRACE:
    case ZU_LOG_DEBUG: return LOG_DEBUG;
    default: return LOG_NOTICE;
    }
}

// Fills line with lead, the local time, sep, the process name, " * ", the tid, tail and
// the message, clipped to the buffer.
void format_line(char (&line)[LINE_SIZE], const char* lead, const char* sep, const char* tail, uint64_t tid,
                 const char* fmt, va_list args) {
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    int n = snprintf(line, LINE_SIZE, "%s%02d-%02d %02d:%02d:%02d%s%s * %lu%s", lead, tm.tm_mon + 1, tm.tm_mday,
                     tm.tm_hour, tm.tm_min, tm.tm_sec, sep, g_procname, static_cast<unsigned long>(tid), tail);
    if (n >= 0 && n < LINE_SIZE - 1) vsnprintf(line + n, LINE_SIZE - n, fmt, args);
}

// The self-defined file a level addresses, or null.
zu_logfile_t* self_file(const zu_log_t* r, int level) {
    if (level < ZU_LOG_SELF_BASE || level >= ZU_LOG_SELF_BASE + ZU_LOG_SELF_NUM) return nullptr;
    return r->selflog[level & 255];
}

int write_self_line(zu_log_t* r, int index, const char* fmt, va_list args) {
    char lead[32];
    snprintf(lead, sizeof(lead), "SDF_LOG: LEVEL:%d ", index);
    char line[LINE_SIZE];
    format_line(line, lead, ": ", "", r->tid, fmt, args);
    return zu_logfile_write(r->selflog[index], line, r->spec & ZU_LOG_SPEC_KEEPROTATED);
}

int write_record(zu_log_t* r, int level, const char* fmt, va_list args) {
    if (self_file(r, level)) return write_self_line(r, level & 255, fmt, args);
    if (level > r->level) return -3;
    const char* prefix = "";
    zu_logfile_t* target = r->normal;
    switch (level) {
    case ZU_LOG_FATAL: prefix = "FATAL: "; target = r->wf; break;
    case ZU_LOG_WARNING: prefix = "WARNING: "; target = r->wf; break;
    case ZU_LOG_NOTICE: prefix = "NOTICE: "; break;
    case ZU_LOG_TRACE: prefix = "TRACE: "; break;
    case ZU_LOG_DEBUG: prefix = "DEBUG: "; break;
    case ZU_LOG_BANNER_WF: target = r->wf; break;
    default: break;
    }
    char line[LINE_SIZE];
    format_line(line, prefix, ":  ", " ", r->tid, fmt, args);
    if (level & r->to_syslog) syslog(syslog_priority(level), "%s\n", line);
    return zu_logfile_write(target, line, r->spec & ZU_LOG_SPEC_KEEPROTATED);
}

int write_record_f(zu_log_t* r, int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
int write_record_f(zu_log_t* r, int level, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int ret = write_record(r, level, fmt, args);
    va_end(args);
    return ret;
}

void release_files(zu_log_t* r) {
    zu_logfile_release(r->normal);
    zu_logfile_release(r->wf);
    for (zu_logfile_t*& f : r->selflog) {
        zu_logfile_release(f);
        f = nullptr;
    }
    r->normal = r->wf = nullptr;
}

// Formats a file name; false when it does not fit a file-table path, so that a long
// base name never turns "log" and "log.wf" into one file.
bool file_name(char (&out)[ZU_LOGFILE_PATH], const std::string& base, const char* tail) {
    return snprintf(out, sizeof(out), "%s%s", base.c_str(), tail) < static_cast<int>(sizeof(out));
}

zu_logfile_t* open_one(const std::string& base, const char* tail, int max_size, int* result) {
    char path[ZU_LOGFILE_PATH];
    if (!file_name(path, base, tail)) {
        *result = -2;
        return nullptr;
    }
    return zu_logfile_open(path, ZU_LOGFILE_ROTATE, max_size, result);
}

// Opens the normal, ".wf" and self-defined files of base into r; 0, -1 table full, -2
// a file cannot be opened. On failure nothing opened here stays referenced.
int open_files(zu_log_t* r, const std::string& base, int threshold, const zu_selflog_t* self) {
    r->level = threshold;
    g_default_level.store(threshold);
    int result = 0;
    r->normal = open_one(base, "log", g_max_size, &result);
    if (r->normal) r->wf = open_one(base, "log.wf", g_max_size, &result);
    for (int i = 0; r->wf && self && i < self->count; ++i) {
        if (!self->enabled[i] || self->names[i][0] == '\0') continue;
        std::string tail = std::string(self->names[i], strnlen(self->names[i], 256)) + ".sdf.log";
        r->selflog[i] = open_one(base, tail.c_str(), g_max_size, &result);
        if (!r->selflog[i]) break;
    }
    if (result != 0) release_files(r);
    return result;
}

bool check_self(const zu_selflog_t* self) {
    if (!self) return true;
    if (self->count < 0 || self->count > ZU_LOG_SELF_NUM) {
        fprintf(stderr, "in zu_log :self define log_number error!log_number = %d\n", self->count);
        fprintf(stderr, "in zu_log:open error!\n");
        return false;
    }
    for (int i = 0; i < self->count; ++i) {
        if (self->enabled[i] && self->names[i][0] == '\0') {
            fprintf(stderr, "in zu_log :self define log error![%d]\n", i);
            fprintf(stderr, "in zu_log:open error!\n");
            return false;
        }
    }
    return true;
}

// A zeroed record for the calling thread, stored under the key; null when there is no key
// or no memory.
zu_log_t* new_record() {
    zu_log_t* r = g_key_made.load() ? new (std::nothrow) zu_log_t() : nullptr;
    if (r && pthread_setspecific(g_key, r) != 0) {
        delete r;
        r = nullptr;
    }
    if (!r) {
        fprintf(stderr, "in zu_log :no space!\n");
        fprintf(stderr, "in zu_log:open error!\n");
        return nullptr;
    }
    r->tid = static_cast<uint64_t>(syscall(SYS_gettid));
    return r;
}

void drop_record(zu_log_t* r) {
    pthread_setspecific(g_key, nullptr);
    delete r;
}

// Opens r's files and finishes the open: announcement and banners. r is freed on failure.
int open_record(zu_log_t* r, const std::string& base, const zu_logstat_t* stat,
                const zu_selflog_t* self, const char* who) {
    if (open_files(r, base, stat->events, self) != 0) {
        if (stat->spec & ZU_LOG_SPEC_STDERR)
            fprintf(stderr, "in zu_log:Can't open log file : %slog, exit!\n", who);
        drop_record(r);
        return -1;
    }
    r->spec = stat->spec;
    r->to_syslog = stat->to_syslog;
    if (stat->spec & ZU_LOG_SPEC_STDERR) fprintf(stderr, "Open log file %slog success!\n", who);
    return 0;
}

int close_record(int abnormal, const char* word) {
    zu_log_t* r = own_record();
    if (!r) return -1;
    const char* fmt = abnormal ? "< ! > Abnormally end %s\n================================================"
                               : "< - > Normally end %s\n================================================";
    write_record_f(r, ZU_LOG_BANNER, fmt, word);
    write_record_f(r, ZU_LOG_BANNER_WF, fmt, word);
    release_files(r);
    if (r->spec & ZU_LOG_SPEC_STDERR) fprintf(stderr, "Close log successed.\n");
    drop_record(r);
    return 0;
}

const zu_logstat_t DEFAULT_STAT = {255, 1, 2};

// Directory and name every file of the process log starts with.
std::string process_base() { return std::string(g_dir) + "/" + g_procname; }

}  // namespace

int zu_openlog(const char* path, const char* procname, zu_logstat_t* stat, int maxsize_mb,
               zu_selflog_t* self) {
    if (g_open_state.load() != ZU_LOG_STATE_NONE) {
        fprintf(stderr, "[zu_openlog]Log is already open....\n");
        return -1;
    }
    pthread_once(&g_key_once, make_key);
    if (!check_self(self)) return -1;
    const zu_logstat_t* st = stat ? stat : &DEFAULT_STAT;
    g_max_size = (maxsize_mb >= 1 && maxsize_mb <= 2044) ? (maxsize_mb << 20) : (2045 << 20);
    snprintf(g_dir, sizeof(g_dir), "%s", (path && path[0]) ? path : ".");
    snprintf(g_procname, sizeof(g_procname), "%s", (procname && procname[0]) ? procname : "null");
    if (char* underscore = strchr(g_procname, '_')) *underscore = '\0';
    zu_log_t* r = own_record();
    if (r) {
        // A record left by an earlier open of this thread would keep its files forever.
        release_files(r);
        drop_record(r);
    }
    r = new_record();
    if (!r) return -1;
    if (open_record(r, process_base(), st, self, or_null(procname)) != 0) return -1;
    g_zu_level.store(st->events);
    write_record_f(r, ZU_LOG_BANNER, "* Open process log by----%s\n=================================================",
                   or_null(procname));
    write_record_f(r, ZU_LOG_BANNER_WF,
                   "* Open process log by----%s for wf\n========================================================",
                   or_null(procname));
    zu_log_shmregister(procname);
    g_open_state.store(ZU_LOG_STATE_ZULOG);
    return 0;
}

int zu_openlog_r(const char* threadname, zu_logstat_t* stat, zu_selflog_t* self) {
    if (const zu_plume_hooks_t* hooks = plume_forward()) return hooks->openlog_r();
    if (!check_self(self)) return -1;
    const zu_logstat_t* st = stat ? stat : &DEFAULT_STAT;
    if (own_record()) return -1;  // a second open would lose the first record's files
    zu_log_t* r = new_record();
    if (!r) return -1;
    const char* name = (threadname && threadname[0]) ? threadname : "null";
    std::string base = process_base();
    if (st->spec & ZU_LOG_SPEC_THREADFILE)
        base += "_" + std::string(name) + "_" + std::to_string(static_cast<unsigned long>(r->tid)) + "_";
    if (open_record(r, base, st, self, or_null(threadname)) != 0) return -1;
    write_record_f(r, ZU_LOG_BANNER, "* Open thread log by----%s:%s\n================================================",
                   g_procname, or_null(threadname));
    write_record_f(r, ZU_LOG_BANNER_WF,
                   "* Open thread log by----%s:%s for wf\n================================================",
                   g_procname, or_null(threadname));
    return 0;
}

int zu_vwritelog(int level, const char* fmt, va_list args) {
    if (const zu_plume_hooks_t* hooks = plume_forward()) return hooks->vwritelog(level, fmt, args);
    zu_log_t fallback = default_record();
    zu_log_t* r = own_record();
    if (!r) r = &fallback;
    va_list copy;
    va_copy(copy, args);
    int ret = write_record(r, level, fmt, copy);
    va_end(copy);
    if (r->spec & ZU_LOG_SPEC_STDERR) {
        va_copy(copy, args);
        int mirrored = write_record(&fallback, level, fmt, copy);
        va_end(copy);
        if (ret == 0) ret = mirrored;  // a line dropped from the file still reports -1
    }
    return ret;
}

int zu_writelog(int level, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    int ret = zu_vwritelog(level, fmt, args);
    va_end(args);
    return ret;
}

int zu_closelog(int abnormal) {
    if (const zu_plume_hooks_t* hooks = plume_forward()) return hooks->closelog(abnormal);
    zu_log_shmunregister();
    int ret = close_record(abnormal, "process");
    g_open_state.store(ZU_LOG_STATE_NONE);
    return ret;
}

int zu_closelog_r(int abnormal) {
    if (const zu_plume_hooks_t* hooks = plume_forward()) return hooks->closelog_r();
    return close_record(abnormal, "thread");
}

int zu_is_level_enabled(int level) {
    if (const zu_plume_hooks_t* hooks = plume_forward()) return hooks->is_level_enabled(level);
    zu_log_t fallback = default_record();
    zu_log_t* r = own_record();
    if (!r) r = &fallback;
    return (self_file(r, level) || level <= r->level) ? 1 : 0;
}

int zu_log_getlevel() { return g_zu_level.load(); }

int zu_log_setlevel(int level) {
    g_zu_level.store(level);
    return 0;
}

int zu_log_get_open_state() { return g_open_state.load(); }

void zu_log_set_open_state(int state) { g_open_state.store(state); }

int zu_log_cas_open_state(int expected, int desired) {
    return g_open_state.compare_exchange_strong(expected, desired) ? 1 : 0;
}

void zu_log_set_plume_hooks(const zu_plume_hooks_t* hooks) { g_hooks.store(hooks); }
