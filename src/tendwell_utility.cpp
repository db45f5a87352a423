#include "tendwell_utility.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <memory>

// The low-level digest, deprecated but kept by OpenSSL 3, needs no library
// initialisation: no configuration file read, no provider loaded, for one
// short digest in a command that lives a few milliseconds.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

#include "corvel/spawn.h"
#include "tendwell/protocal/TendwellBase_types.h"

namespace tendwell {

namespace {
std::atomic<int> g_log_level{0};
// The gate program's file, beside the executable.
constexpr char kGateProgram[] = "tendwell-gate";

// Why the logging library could not open the log file at path: the error of
// the open it makes.
std::string LogFileProblem(const char* path) {
    const int fd = open(path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) return strerror(errno);
    close(fd);
    return "the logging library could not open it";
}
}  // namespace

const char* SourceBaseName(const char* file) {
    const char* slash = strrchr(file, '/');
    return slash ? slash + 1 : file;
}

void SetLogLevel(int level) { g_log_level.store(level, std::memory_order_relaxed); }

int GetLogLevel() { return g_log_level.load(std::memory_order_relaxed); }

bool UseGateProgram(std::string* why, std::string* warning) {
    char exe[4096];
    const ssize_t len = readlink("/proc/self/exe", exe, sizeof(exe));
    std::string path = len > 0 ? std::string(exe, static_cast<size_t>(len)) : std::string();
    path = path.substr(0, path.rfind('/') + 1) + kGateProgram;
    corvel::GateUncopied uncopied;
    char reason[256];
    if (!corvel::use_gate_program(path.c_str(), &uncopied)) {
        *why = "gate program " + path +
               " can't be used: " + strerror_r(errno, reason, sizeof(reason));
        return false;
    }
    if (uncopied.error != 0) {
        *warning = "gate program " + path +
                   " is run from its file, not from a sealed copy in memory (" +
                   (uncopied.unreadable ? "it can't be read: " : "no runnable copy: ") +
                   strerror_r(uncopied.error, reason, sizeof(reason)) +
                   "): a change to the file reaches the starts after it";
    }
    return true;
}

std::string Md5Hex(const char* data, size_t len) {
    static const char kDigits[] = "0123456789ABCDEF";
    unsigned char digest[MD5_DIGEST_LENGTH];
    MD5_CTX ctx;
    if (MD5_Init(&ctx) != 1 || MD5_Update(&ctx, data, len) != 1 || MD5_Final(digest, &ctx) != 1) {
        return std::string();
    }
    std::string hex;
    hex.reserve(sizeof(digest) * 2);
    for (size_t i = 0; i < sizeof(digest); ++i) {
        hex.push_back(kDigits[digest[i] >> 4]);
        hex.push_back(kDigits[digest[i] & 0x0f]);
    }
    return hex;
}

std::string FormatTime(time_t t) {
    struct tm tm_val;
    memset(&tm_val, 0, sizeof(tm_val));
    localtime_r(&t, &tm_val);
    char buf[64];
    snprintf(buf, sizeof(buf), "%04d-%02d-%02d %02d:%02d:%02d", tm_val.tm_year + 1900,
             tm_val.tm_mon + 1, tm_val.tm_mday, tm_val.tm_hour, tm_val.tm_min, tm_val.tm_sec);
    return buf;
}

PlatformCommandTable::PlatformCommandTable()
    : commands_{{"PLAT_ORVANE_CROND", "dxcrond"}, {"PLAT_ORVANE_DCX", "dcx-agent"}} {}

PlatformCommandTable& PlatformCommandTable::GetInstance() {
    static PlatformCommandTable table;
    return table;
}

std::string PlatformCommandTable::Find(const std::string& name) const {
    auto it = commands_.find(name);
    return it == commands_.end() ? std::string() : it->second;
}

int OpenLog(const char* path, const char* proc_name, int level, int policy, int size,
            std::string* why) {
    // A cut name would send the log to another file than the one configured.
    if (path == nullptr || strlen(path) >= sizeof(plume_device_t::file)) {
        if (why != nullptr && path != nullptr) *why = strerror(ENAMETOOLONG);
        return TReturnCode::ERROR_ILLEGAL_PARAM;
    }
    // The device record is large (its parameter table alone is 256 KB).
    std::unique_ptr<plume_device_t> dev(new plume_device_t());
    plume_resetdevice(dev.get());
    snprintf(dev->file, sizeof(dev->file), "%s", path);
    snprintf(dev->type, sizeof(dev->type), "%s", "FILE");
    snprintf(dev->path, sizeof(dev->path), "%s", path[0] == '/' ? "" : ".");
    dev->open = '1';
    dev->splite_type = policy != 0 ? PLUME_SIZECUT : PLUME_TRUNCT;
    dev->log_size = size < 1 ? 128 : size;
    dev->log_mask |= PLUME_DEFAULT_MASK;

    plume_logstat_t stat;
    plume_resetlogstat(&stat);
    stat.level = level;
    if (plume_openlog(proc_name, dev.get(), 1, &stat) != 0) {
        if (why != nullptr) *why = LogFileProblem(path);
        return TReturnCode::ERROR_OPEN_LOG_FAIL;
    }
    SetLogLevel(level);
    return TReturnCode::SUCC;
}

int CloseLog() { return plume_closelog_r(); }

}  // namespace tendwell
