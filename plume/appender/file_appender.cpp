#include "file_appender.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <new>

#include "plume/plume_event.h"
#include "name_mg.h"
#include "plume_diag.h"

namespace plumespace {
namespace {

constexpr int CUT_NAME_SIZE = 4096;
const char* const DEFAULT_CUT_FORMAT = "%Y%m%d%H%M%S";

std::string file_key(const plume_device_t& dev) { return std::string("FILE:") + dev.path + "/" + dev.file; }

// Only the format's '%' are for strftime: those in the file name stay as they are.
std::string escape_percent(const char* text) {
    std::string out;
    for (const char* p = text; *p; ++p) {
        out += *p;
        if (*p == '%') out += '%';
    }
    return out;
}

}  // namespace

int rename_log_file(const char* file, char* out, int out_size, const char* format, int retry) {
    for (;;) {
        const char* fmt = (format && format[0]) ? format : DEFAULT_CUT_FORMAT;
        std::string pattern = escape_percent(file) + "." + fmt;
        time_t now = time(nullptr);
        struct tm tm;
        localtime_r(&now, &tm);
        size_t n = strftime(out, out_size, pattern.c_str(), &tm);
        if (n > 0) {
            std::string base(out);
            struct stat st;
            for (int i = 1; ::stat(out, &st) == 0; ++i) snprintf(out, out_size, "%s.%d", base.c_str(), i);
            if (rename(file, out) == 0) return 0;
        }
        PLUME_DIAG("Unable to rename file [%s] to [%s]", file, n > 0 ? out : "");
        if (!retry) {
            PLUME_DIAG("Faint! Plume rename error, and I can do nothing more (-__-)!...");
            return 0;
        }
        PLUME_DIAG("Try to rename [%s] to default format.", file);
        format = nullptr;
        retry = 0;
    }
}

FileAppender::FileAppender() : last_cut(time(nullptr)) {
    memset(&stat, 0, sizeof(stat));
    fullpath[0] = '\0';
}

FileAppender::~FileAppender() { close(nullptr); }

int FileAppender::open(void*) {
    close(nullptr);
    snprintf(fullpath, sizeof(fullpath), "%s/%s", device.path, device.file);
    mkdir(device.path, 0700);
    // Close-on-exec: processes started by the program must not inherit the log.
    int f = ::open(fullpath, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (f < 0) {
        int err = errno;
        PLUME_DIAG("can't open %s", fullpath);
        errno = err;
        return -1;
    }
    if (f <= STDERR_FILENO) {
        // A log on 0-2 would be lost when the program points its standard streams elsewhere.
        int moved = fcntl(f, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        ::close(f);
        if (moved < 0) {
            PLUME_DIAG("can't open %s", fullpath);
            return -1;
        }
        f = moved;
    }
    fd = f;
    ++generation_;
    return fstat(fd, &stat);
}

int FileAppender::close(void*) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
    return 0;
}

int FileAppender::reset(void*) {
    std::lock_guard<std::shared_mutex> lock(mutex);
    fullpath[0] = '\0';
    return close(nullptr);
}

int FileAppender::cut(std::string* cut_name) {
    char out[CUT_NAME_SIZE];
    out[0] = '\0';
    rename_log_file(fullpath, out, sizeof(out), device.reserved1, 1);
    if (cut_name) *cut_name = out;
    last_cut = time(nullptr);
    return open(nullptr);
}

bool FileAppender::isOpenFile(struct stat* now) const {
    return fd >= 0 && ::stat(fullpath, now) == 0 && now->st_ino == stat.st_ino && now->st_dev == stat.st_dev;
}

// Every type cuts at the size limit, DATECUT also when its period has passed.
bool FileAppender::dueCut(const struct stat& now) const {
    if (static_cast<int64_t>(now.st_size) >= static_cast<int64_t>(device.log_size) * 1048576) return true;
    return device.splite_type == PLUME_DATECUT && time(nullptr) - last_cut > device.cuttime * 60L;
}

bool FileAppender::inStep() const {
    struct stat now;
    return isOpenFile(&now) && !dueCut(now);
}

int FileAppender::syncLocked(std::string* discard) {
    struct stat now;
    // Closed, removed, or moved or replaced: write to a file of the name again.
    if (!isOpenFile(&now)) return open(nullptr);
    // TRUNCT drops what it cut.
    if (dueCut(now)) return cut(device.splite_type == PLUME_TRUNCT ? discard : nullptr);
    return 0;
}

int FileAppender::syncid(void*) {
    return synced([](int) { return 0; }, [] {});
}

int FileAppender::writeAll(int fd, const void* buf, int len) {
    const char* p = static_cast<const char*>(buf);
    int done = 0;
    while (done < len) {
        ssize_t n = write(fd, p + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int err = n < 0 ? errno : ENOSPC;
            PLUME_DIAG("ret[%d] != len[%d] %s", done, len, strerror(err));
            return -1;
        }
        done += static_cast<int>(n);
    }
    return 0;
}

int FileAppender::print(plume_event_t* event) {
    if (!testMaskBit(event->level)) return 0;
    formatLine(event);
    return synced([event](int f) { return writeAll(f, event->line, event->line_len); },
                  [event] { PLUME_DIAG("%.*s", event->line_len > 0 ? event->line_len - 1 : 0, event->line); });
}

int FileAppender::binprint(const void* buf, int len) {
    return synced([buf, len](int f) { return writeAll(f, buf, len); }, [] {});
}

int FileAppender::begin() { return 0; }

Appender* FileAppender::getOrMake(plume_device_t& dev, FileAppender* (*make)()) {
    std::string key = file_key(dev);
    NameMg* names = NameMg::getInstance();
    if (Appender* found = static_cast<Appender*>(names->get(NAME_APPENDER, key.c_str()))) return found;
    FileAppender* made = make();
    if (!made) return nullptr;
    made->copyDevice(dev);
    if (made->syncid(nullptr) != 0) {
        PLUME_DIAG("syncid log[%s] err %s", key.c_str(), strerror(errno));
        delete made;
        return nullptr;
    }
    if (made->begin() != 0 || names->set(NAME_APPENDER, key.c_str(), made) != 0) {
        delete made;
        return nullptr;
    }
    return made;
}

Appender* FileAppender::getAppender(plume_device_t& dev) {
    return getOrMake(dev, [] { return new (std::nothrow) FileAppender(); });
}

Appender* FileAppender::tryAppender(plume_device_t& dev) {
    return static_cast<Appender*>(NameMg::getInstance()->get(NAME_APPENDER, file_key(dev).c_str()));
}

}  // namespace plumespace
