// The keeper's state file: written to a ".new" file that replaces the old one only
// once it is complete, so a failed save never damages a good state file. Only a
// file that nobody but the keeper's user can have written is ever loaded.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "corvel/clock.h"
#include "corvel/fd_io.h"
#include "keeper/process_keeper.h"
#include "state_archive.h"

namespace tendwell {

namespace {

// A save that keeps failing is reported at most this often.
constexpr uint64_t kSaveWarningGapNs = 60ULL * 1000000000ULL;

// Creates path as a file of its own. Whatever already has the name (a leftover of
// a failed save, or a link, FIFO, device or directory put there) is removed and the
// creation tried once more, so nothing is ever written through it.
int CreateFresh(const std::string& path) {
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    int fd = open(path.c_str(), flags, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
    if (unlink(path.c_str()) != 0 && (errno != EISDIR || rmdir(path.c_str()) != 0)) return -1;
    return open(path.c_str(), flags, 0600);
}

// Writes text to path through path + ".new"; 0, or the error that stopped it.
// *written describes the file made.
int WriteThroughNew(const std::string& path, const std::string& text, struct stat* written) {
    const std::string new_path = path + ".new";
    int fd = CreateFresh(new_path);
    if (fd < 0) return errno;
    errno = 0;
    // The mode is not left to the umask.
    bool done = fchmod(fd, 0600) == 0 &&
                corvel::write_all(fd, text.data(), text.size(), -1) ==
                    static_cast<ssize_t>(text.size()) &&
                fstat(fd, written) == 0;
    int error = done ? 0 : (errno != 0 ? errno : EIO);
    // A failed close may mean lost data: only a clean close lets the file replace
    // the state file.
    if (close(fd) != 0 && error == 0) error = errno;
    if (error != 0) return error;
    if (rename(new_path.c_str(), path.c_str()) != 0) {
        error = errno;
        unlink(new_path.c_str());
        return error;
    }
    return 0;
}

// Whether a file may be loaded: a regular file of this user that neither group nor
// others can write. Anyone else could make the keeper run any check command as
// this user.
bool Trusted(const struct stat& st) {
    return S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Whether the file at path is still the one described by written: the same file,
// neither replaced nor changed since, or for a null written still no file at all.
bool StillInPlace(const std::string& path, const struct stat* written) {
    struct stat now;
    if (stat(path.c_str(), &now) != 0) return written == nullptr && errno == ENOENT;
    return written != nullptr && now.st_dev == written->st_dev &&
           now.st_ino == written->st_ino && now.st_size == written->st_size &&
           now.st_mtim.tv_sec == written->st_mtim.tv_sec &&
           now.st_mtim.tv_nsec == written->st_mtim.tv_nsec;
}

}  // namespace

bool ProcessKeeper::Save() { return save_path_.empty() || Store(StateText()); }

bool ProcessKeeper::SaveIfChanged() {
    if (save_path_.empty()) return true;
    std::string text = StateText();
    if (saved_text_ == text &&
        StillInPlace(save_path_, text.empty() ? nullptr : &saved_file_)) {
        return true;
    }
    return Store(std::move(text));
}

std::string ProcessKeeper::StateText() const {
    return AnyActive() ? StateWriter::Write(processes_) : std::string();
}

bool ProcessKeeper::AnyActive() const {
    for (const auto& item : processes_) {
        if (item.second.status != PROCESS_STOPPED) return true;
    }
    return false;
}

bool ProcessKeeper::Store(std::string text) {
    saved_text_.reset();
    int error = 0;
    if (text.empty()) {
        if (unlink(save_path_.c_str()) != 0 && errno != ENOENT) error = errno;
    } else {
        error = WriteThroughNew(save_path_, text, &saved_file_);
    }
    if (error == 0) {
        saved_text_ = std::move(text);
        return true;
    }
    const uint64_t now_ns = corvel::monotonic_ns();
    if (save_warned_ns_ == 0 || now_ns - save_warned_ns_ >= kSaveWarningGapNs) {
        save_warned_ns_ = now_ns;
        char reason[256];
        Warn("Save", "save state file " + save_path_ + " failed: " +
                         strerror_r(error, reason, sizeof(reason)));
    }
    return false;
}

bool ProcessKeeper::Load() {
    if (save_path_.empty()) return true;
    // Non-blocking so that a FIFO in its place cannot hang the keeper.
    int fd = open(save_path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    // A symbolic link (ELOOP) is refused like any other file not to be trusted.
    if (fd < 0 && errno != ELOOP) return false;
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !Trusted(st)) {
        if (fd >= 0) close(fd);
        processes_.clear();
        Warn("Load", "state file " + save_path_ +
                         " is not a regular file of this user writable by it alone: not loaded");
        return false;
    }
    FILE* file = fdopen(fd, "r");
    if (file == nullptr) {
        close(fd);
        return false;
    }
    StateReader reader(file, static_cast<uint64_t>(st.st_size));
    bool ok = reader.Read(&processes_);
    fclose(file);
    return ok;
}

}  // namespace tendwell
