// Small shared helpers: the socket-name digest, the status time format, the
// table of known platform processes, the gate program and the process log with
// its level guard.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <limits>
#include <map>
#include <string>

#include "plume/plume.h"

namespace tendwell {

// Levels of the process log.
enum LogLevel {
    kLogFatal = PLUME_LOG_FATAL,
    kLogWarning = PLUME_LOG_WARNING,
    kLogNotice = PLUME_LOG_NOTICE,
    kLogTrace = PLUME_LOG_TRACE,
    kLogDebug = PLUME_LOG_DEBUG,
};

// MD5 digest of the len bytes at data as 32 upper-case hexadecimal digits.
std::string Md5Hex(const char* data, size_t len);

// t in local time as "YYYY-MM-DD hh:mm:ss".
std::string FormatTime(time_t t);

// Start commands of the known platform processes, by process name.
class PlatformCommandTable {
public:
    static PlatformCommandTable& GetInstance();
    // The command of name, or an empty string when there is none.
    std::string Find(const std::string& name) const;

private:
    PlatformCommandTable();
    std::map<std::string, std::string> commands_;
};

// The process-log level: a log call of level L is made only when it is >= L.
void SetLogLevel(int level);
int GetLogLevel();

// Opens the process log at path (one file device). Returns 0, 4
// (ERROR_ILLEGAL_PARAM: null or overlong path) or 10 (ERROR_OPEN_LOG_FAIL); why,
// when given, then says what stood in the way.
int OpenLog(const char* path, const char* proc_name, int level, int policy, int size,
            std::string* why = nullptr);
// Closes the calling thread's log handle.
int CloseLog();

// Configured seconds as milliseconds of type T, in 64 bits and saturated to T's
// range: a wrapped value would turn a long time-out into a short or negative
// (unlimited) one.
template <typename T>
T SecondsToMs(int64_t secs) {
    using Limits = std::numeric_limits<T>;
    const int64_t most = static_cast<int64_t>(Limits::max()) / 1000;
    const int64_t least = static_cast<int64_t>(Limits::min()) / 1000;
    if (secs > most) return Limits::max();
    if (secs < least) return Limits::min();
    return static_cast<T>(secs * 1000);
}

// Takes the gate program beside this executable for every start of a kept
// process (corvel::use_gate_program). False, with *why naming the path it looked
// at, when that cannot be used. Where the system refuses to run a sealed copy of
// it in memory, *warning says that the file itself is run.
bool UseGateProgram(std::string* why, std::string* warning);

// The file name part of a source path, for log tags.
const char* SourceBaseName(const char* file);

}  // namespace tendwell

// Writes one log line that begins with the "[file:line]" source tag, when the
// process-log level admits level. The one guard of every log call of the program.
#define TENDWELL_SOURCE_LOG(level, fmt, ...)                                          \
    do {                                                                              \
        if (::tendwell::GetLogLevel() >= (level)) {                                   \
            plume_writelog((level), "[%s:%d]" fmt, ::tendwell::SourceBaseName(__FILE__), \
                           __LINE__, ##__VA_ARGS__);                                  \
        }                                                                             \
    } while (0)

// The same line with "[tag]" after the source tag; tag is normally the calling
// method's name.
#define TENDWELL_LOG(level, tag, fmt, ...) \
    TENDWELL_SOURCE_LOG(level, "[%s]" fmt, (tag), ##__VA_ARGS__)

#define TW_FATAL(tag, fmt, ...) TENDWELL_LOG(::tendwell::kLogFatal, tag, fmt, ##__VA_ARGS__)
#define TW_WARNING(tag, fmt, ...) TENDWELL_LOG(::tendwell::kLogWarning, tag, fmt, ##__VA_ARGS__)
#define TW_NOTICE(tag, fmt, ...) TENDWELL_LOG(::tendwell::kLogNotice, tag, fmt, ##__VA_ARGS__)
#define TW_DEBUG(tag, fmt, ...) TENDWELL_LOG(::tendwell::kLogDebug, tag, fmt, ##__VA_ARGS__)
