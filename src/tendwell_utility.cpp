#include "tendwell_utility.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>

// The low-level digest, deprecated but kept by OpenSSL 3, needs no library
// initialisation: no configuration file read, no provider loaded, for one
// short digest in a command that lives a few milliseconds.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

#include "tendwell/protocal/TendwellBase_types.h"

namespace tendwell {

namespace {
std::atomic<int> g_log_level{0};

// A write lock on the whole file.
struct flock WholeFileWriteLock() {
    struct flock lock;
    memset(&lock, 0, sizeof(lock));
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    return lock;
}
}  // namespace

const char* SourceBaseName(const char* file) {
    const char* slash = strrchr(file, '/');
    return slash ? slash + 1 : file;
}

void SetLogLevel(int level) { g_log_level.store(level, std::memory_order_relaxed); }

int GetLogLevel() { return g_log_level.load(std::memory_order_relaxed); }

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

int OpenAndLock(const std::string& path, int* fd_out) {
    // O_NONBLOCK: a FIFO planted at the path must not hang the open. O_NOFOLLOW:
    // nor a link make this process create a file elsewhere. Never truncated: the
    // lock file holds nothing, and a hard link may name a file that is not ours.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, 0600);
    *fd_out = fd;
    if (fd < 0) {
        TW_WARNING("LockFile", "lock file %s open fail, return:%d.", path.c_str(), errno);
        return -1;
    }
    struct flock lock = WholeFileWriteLock();
    if (fcntl(fd, F_SETLK, &lock) != 0) {
        TW_WARNING("LockFile", "lock file %s fcntl fail, return:%d.", path.c_str(), errno);
        return 1;
    }
    TW_DEBUG("LockFile", "lock file %s succ.", path.c_str());
    return 0;
}

int LockFile(const std::string& path) {
    int fd;
    return OpenAndLock(path, &fd);
}

bool CheckiSocketFileListen(const std::string& path) {
    int ret = LockFile(path);
    if (ret == 1) {
        TW_DEBUG("CheckiSocketFileListen", "%s own by someone", path.c_str());
        return true;
    }
    if (ret < 0) {
        // A lock file that is there but cannot be opened may well belong to a
        // live daemon; only a missing one means there is none.
        struct stat st;
        if (lstat(path.c_str(), &st) == 0) {
            TW_WARNING("CheckiSocketFileListen", "lock file %s exists but cannot be locked",
                       path.c_str());
            return true;
        }
        TW_DEBUG("CheckiSocketFileListen", "socket file:%s not own by somone", path.c_str());
        return false;
    }
    // This process holds the lock now, so no daemon can take the file while it
    // is removed.
    unlink(path.c_str());
    TW_DEBUG("CheckiSocketFileListen", "socket file:%s not own by somone", path.c_str());
    return false;
}

pid_t LockHolder(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return 0;
    struct flock lock = WholeFileWriteLock();
    int ret = fcntl(fd, F_GETLK, &lock);
    close(fd);
    return ret == 0 && lock.l_type != F_UNLCK ? lock.l_pid : 0;
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

int OpenLog(const char* path, const char* proc_name, int level, int policy, int size) {
    // A cut name would send the log to another file than the one configured.
    if (path == nullptr || strlen(path) >= sizeof(plume_device_t::file)) {
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
        return TReturnCode::ERROR_OPEN_LOG_FAIL;
    }
    SetLogLevel(level);
    return TReturnCode::SUCC;
}

int CloseLog() { return plume_closelog_r(); }

}  // namespace tendwell
