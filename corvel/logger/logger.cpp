#include "corvel/logger.h"

#include <stdio.h>
#include <string.h>

#include <string>

#include "corvel/thread_hooks.h"
#include "plume/layout.h"
#include "plume/plume_loadlog.h"

namespace corvel {
namespace {

constexpr size_t MESSAGE_SIZE = 1920;
const char* const COLOUR_RESET = "\033[0m";

void open_pool_thread() { Logger::open_thread(); }
void close_pool_thread() { Logger::close_thread(); }

const ThreadHooks POOL_THREAD_HOOKS = {open_pool_thread, close_pool_thread};

const char* colour_prefix(int level) {
    switch (level) {
    case Logger::DEBUG: return "\033[0;32m";
    case Logger::TRACE: return "\033[0;36m";
    case Logger::WARNING: return "\033[1;33m";
    case Logger::FATAL: return "\033[1;31m";
    case Logger::CRITICAL: return "\033[1;37;41m";
    default: return "";
    }
}

}  // namespace

std::atomic<int> Logger::_s_level{Logger::DEBUG};
std::atomic<bool> Logger::_s_attached_only{false};
std::atomic<bool> Logger::_s_attached{false};
std::atomic<bool> Logger::_s_colorful{true};

plume_device_t& g_devices() {
    static plume_device_t* dev = [] {
        plume_device_t* made = new plume_device_t;
        plume_resetdevice(made);
        return made;
    }();
    return *dev;
}

plumespace::Layout& g_layout() {
    static plumespace::Layout* layout = new plumespace::Layout();
    return *layout;
}

void Logger::set_colorful(bool colorful) { _s_colorful.store(colorful); }

void Logger::set_attached_only(bool attached_only) { _s_attached_only.store(attached_only); }

int Logger::to_plume_level(int level) {
    switch (level) {
    case CRITICAL:
    case FATAL: return PLUME_LOG_FATAL;
    case WARNING:
    case NOTICE:
    case TRACE:
    case DEBUG: return level;
    default: return PLUME_LOG_NOTICE;
    }
}

void Logger::set_attached() {
    _s_attached.store(true);
    set_thread_hooks(&POOL_THREAD_HOOKS);
}

bool Logger::open_plume(const int& level, const char* format) {
    plume_device_t& dev = g_devices();
    dev.open = 1;
    g_layout().setPattern(format && format[0] ? format : DEFAULT_FORMAT);
    dev.log_mask |= PLUME_DEFAULT_MASK;
    dev.layout = &g_layout();
    plume_logstat_t stat;
    plume_resetlogstat(&stat);
    stat.level = to_plume_level(level);
    _s_level.store(level);
    if (plume_openlog(nullptr, &dev, 1, &stat) != 0) return false;
    set_attached();
    return true;
}

bool Logger::attach_tty(const int& level, const char* format) {
    if (_s_attached.load()) return false;
    snprintf(g_devices().type, sizeof(g_devices().type), "TTY");
    return open_plume(level, format);
}

bool Logger::attach_file(const char* filename, const int& level, const char* format, const int& split,
                         int size_mb) {
    if (!filename || !filename[0] || _s_attached.load()) return false;
    plume_device_t& dev = g_devices();
    snprintf(dev.file, sizeof(dev.file), "%s", filename);
    snprintf(dev.type, sizeof(dev.type), "FILE");
    // The file appender joins path and file with a '/'.
    snprintf(dev.path, sizeof(dev.path), "%s", filename[0] == '/' ? "" : ".");
    dev.splite_type = split == 0 ? PLUME_TRUNCT : split == 2 ? PLUME_DATECUT : PLUME_SIZECUT;
    dev.log_size = size_mb < 1 ? 200 : size_mb;
    return open_plume(level, format);
}

bool Logger::attach_conf(const char* dir, const char* file) {
    if (!dir || !dir[0] || !file || !file[0] || _s_attached.load()) return false;
    if (plume_loadlog(dir, file) != 0) return false;
    set_attached();
    return true;
}

bool Logger::detach() {
    // A plume the program opened itself is not the Logger's to close.
    if (!_s_attached.load()) return false;
    _s_level.store(DEBUG);
    _s_attached.store(false);
    return plume_closelog(1000) == 0;
}

bool Logger::open_thread() { return _s_attached.load() && plume_openlog_r() == 0; }

bool Logger::close_thread() { return _s_attached.load() && plume_closelog_r() == 0; }

bool Logger::vlog(const int& level, const char* file, int line, const char* fmt, va_list args) {
    if (!fmt || !fmt[0]) return false;
    if (_s_attached_only.load() && !_s_attached.load()) return true;
    if (level > _s_level.load()) return true;
    std::string suffix = std::string(" [") + (file ? file : "") + ":" + std::to_string(line) + "]";
    char message[MESSAGE_SIZE];
    size_t limit = suffix.size() < MESSAGE_SIZE ? MESSAGE_SIZE - suffix.size() : MESSAGE_SIZE;
    if (vsnprintf(message, limit, fmt, args) < 0) return false;
    bool colorful = _s_colorful.load();
    std::string text = colorful ? colour_prefix(level) : "";
    text += message;
    text += suffix;
    if (colorful && level != NOTICE) text += COLOUR_RESET;
    return plume_writelog(to_plume_level(level), "%s", text.c_str()) == 0;
}

#define CORVEL_LOGPOINT_WRITER(name, level)                           \
    bool LogPoint::name(const char* fmt, ...) {                       \
        va_list args;                                                 \
        va_start(args, fmt);                                          \
        bool written = Logger::vlog(level, file_, line_, fmt, args);  \
        va_end(args);                                                 \
        return written;                                               \
    }

CORVEL_LOGPOINT_WRITER(critical, Logger::CRITICAL)
CORVEL_LOGPOINT_WRITER(fatal, Logger::FATAL)
CORVEL_LOGPOINT_WRITER(warning, Logger::WARNING)
CORVEL_LOGPOINT_WRITER(notice, Logger::NOTICE)
CORVEL_LOGPOINT_WRITER(trace, Logger::TRACE)
CORVEL_LOGPOINT_WRITER(debug, Logger::DEBUG)

}  // namespace corvel
