// The keeper's state file: written to a ".new" file that replaces the old one only
// once it is complete, so a failed save never damages a good state file. Only a
// file that nobody but the keeper's user can have written is ever loaded.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "corvel/clock.h"
#include "keeper/process_keeper.h"
#include "saved_file.h"
#include "state_archive.h"

namespace tendwell {

namespace {

// A save that keeps failing is reported at most this often.
constexpr uint64_t kSaveWarningGapNs = 60ULL * 1000000000ULL;

}  // namespace

bool ProcessKeeper::Save() { return save_path_.empty() || Store(StateText()) == 0; }

int ProcessKeeper::SaveIfChanged() {
    if (save_path_.empty()) return 0;
    std::string text = StateText();
    if (saved_text_ == text &&
        StillInPlace(save_path_, text.empty() ? nullptr : &saved_file_)) {
        return 0;
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

int ProcessKeeper::Store(std::string text) {
    saved_text_.reset();
    int error = 0;
    if (text.empty()) {
        if (unlink(save_path_.c_str()) != 0 && errno != ENOENT) error = errno;
    } else {
        error = WriteThroughNew(save_path_, text, &saved_file_);
    }
    if (error == 0) {
        saved_text_ = std::move(text);
        return 0;
    }
    const uint64_t now_ns = corvel::monotonic_ns();
    if (save_warned_ns_ == 0 || now_ns - save_warned_ns_ >= kSaveWarningGapNs) {
        save_warned_ns_ = now_ns;
        Warn("Save", SaveFailure(error));
    }
    return error;
}

std::string ProcessKeeper::SaveFailure(int error) const {
    char reason[256];
    return "save state file " + save_path_ + " failed: " + strerror_r(error, reason, sizeof(reason));
}

bool ProcessKeeper::Load() {
    if (save_path_.empty()) return true;
    struct stat st;
    int fd = OpenTrusted(save_path_, &st);
    if (fd < 0) {
        if (errno != EPERM) return false;
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
