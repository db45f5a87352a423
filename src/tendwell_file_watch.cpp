#include "tendwell_file_watch.h"

#include <limits.h>
#include <string.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "tendwell_configure.h"

namespace tendwell {

namespace {

constexpr uint32_t kGone = IN_DELETE | IN_MOVED_FROM;
constexpr uint32_t kDirGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED;
constexpr uint32_t kMask = kGone | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

}  // namespace

FileWatch::FileWatch() : fd_(inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {}

FileWatch::~FileWatch() {
    if (fd_ >= 0) close(fd_);
}

void FileWatch::Add(const std::string& path, bool replaceable) {
    Watched watched;
    watched.dir = DirectoryOf(path);
    // npos + 1 is 0: a bare name is all name.
    watched.name = path.substr(path.rfind('/') + 1);
    watched.replaceable = replaceable;
    watched_.push_back(watched);
    Rearm();
}

bool FileWatch::Rearm() {
    if (fd_ < 0) return true;
    bool settled = true;
    for (Watched& watched : watched_) {
        if (watched.wd >= 0) continue;
        // One directory holding several files has one watch.
        watched.wd = inotify_add_watch(fd_, watched.dir.c_str(), kMask);
        settled = false;
    }
    return settled;
}

bool FileWatch::Drain() {
    if (fd_ < 0) return false;
    bool concerned = false;
    alignas(struct inotify_event) char buf[64 * (sizeof(struct inotify_event) + NAME_MAX + 1)];
    ssize_t got;
    while ((got = read(fd_, buf, sizeof(buf))) > 0) {
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(buf + at);
            at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
            // Events were lost: any of them may have been a removal.
            if ((event->mask & IN_Q_OVERFLOW) != 0) concerned = true;
            for (Watched& watched : watched_) {
                if (watched.wd != event->wd) continue;
                if ((event->mask & kDirGone) != 0) {
                    concerned = true;
                    // A moved directory's watch would go on looking at it elsewhere.
                    if ((event->mask & IN_MOVE_SELF) != 0) inotify_rm_watch(fd_, watched.wd);
                    watched.wd = -1;
                    continue;
                }
                const uint32_t kinds = watched.replaceable ? kGone | IN_MOVED_TO : kGone;
                if ((event->mask & kinds) != 0 && event->len > 0 &&
                    watched.name == event->name) {
                    concerned = true;
                }
            }
        }
    }
    return concerned;
}

}  // namespace tendwell
