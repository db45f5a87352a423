// The base library's logging front end over plume: opens plume for the process with one
// terminal device, one file or a configuration file, filters records by its own level,
// appends the source location, colours lines with ANSI escapes and writes them with
// plume_writelog. Pool threads open and close their plume handles through it while it
// is attached. Library corvel_logger, above corvel and plume.
#pragma once

#include <stdarg.h>

#include <atomic>

#include "plume/plume.h"

namespace corvel {

class Logger {
public:
    // CRITICAL is a level above FATAL with a colour of its own.
    enum Level { CRITICAL = 0, FATAL = 1, WARNING = 2, NOTICE = 4, TRACE = 8, DEBUG = 16 };
    static constexpr const char* DEFAULT_FORMAT = "%T\t%L\t%A %R";

    static void set_colorful(bool colorful);
    // Drops every record while not attached, instead of handing it to plume.
    static void set_attached_only(bool attached_only);
    // 0 and 1 become FATAL; 2, 4, 8 and 16 stay; anything else becomes NOTICE.
    static int to_plume_level(int level);

    // Each is refused (false) while attached. format is a plume layout pattern, null or
    // empty for DEFAULT_FORMAT; level is this Logger's threshold, given to plume too.
    static bool attach_tty(const int& level, const char* format);
    // A name not beginning with '/' is relative to the working directory. split 0 cuts
    // and removes (TRUNCT), 2 cuts by date, anything else by size; size_mb below 1 is 200.
    static bool attach_file(const char* filename, const int& level, const char* format, const int& split,
                            int size_mb);
    static bool attach_conf(const char* dir, const char* file);
    // Closes plume when the Logger opened it; false, closing nothing, otherwise.
    static bool detach();

    // While attached: the calling thread's plume handle, true when opened (closed).
    // Otherwise false, doing nothing.
    static bool open_thread();
    static bool close_thread();

    // Writes fmt with " [file:line]" after it: false when fmt is empty or the record
    // cannot be formatted or written, true when written or filtered out.
    static bool vlog(const int& level, const char* file, int line, const char* fmt, va_list args);

private:
    // The shared end of the attach calls, with g_devices() filled for its type.
    static bool open_plume(const int& level, const char* format);
    static void set_attached();

    // Read by writing threads while another thread attaches or detaches.
    static std::atomic<int> _s_level;
    static std::atomic<bool> _s_attached_only;
    static std::atomic<bool> _s_attached;
    static std::atomic<bool> _s_colorful;
};

// A source location whose writers log at the Logger's levels through Logger::vlog.
class LogPoint {
public:
    LogPoint(const char* file, int line) : file_(file), line_(line) {}

    bool critical(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    bool fatal(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    bool warning(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    bool notice(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    bool trace(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    bool debug(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

private:
    const char* file_;
    int line_;
};

// The device and layout the Logger opens plume with, made on first use; the device's
// layout is g_layout() once attached.
plume_device_t& g_devices();
plumespace::Layout& g_layout();

}  // namespace corvel
