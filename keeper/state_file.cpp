// The keeper's state file and the identity file beside it. Both are written to a
// ".new" file that replaces the old one only once it is complete, so a failed save
// never damages a good file; only files that nobody but the keeper's user can have
// written are ever loaded.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "corvel/clock.h"
#include "identity_file.h"
#include "keeper/process_keeper.h"
#include "saved_file.h"
#include "state_archive.h"

namespace tendwell {

namespace {

// A save that keeps failing is reported at most this often.
constexpr uint64_t kSaveWarningGapNs = 60ULL * 1000000000ULL;
// Why a save was not made, beside the system's errors.
constexpr int kNotOurs = -1;
constexpr int kDisowned = -2;
// Said of a file at a path of the keeper's that the owner's keeper did not write.
constexpr char kTakenOver[] = " was replaced; this daemon's table is written over it";

}  // namespace

bool ProcessKeeper::Save() { return save_path_.empty() || Store(StateText()) == 0; }

int ProcessKeeper::SaveIfChanged() {
    if (save_path_.empty()) return 0;
    std::string text = StateText();
    if (saved_text_ == text &&
        StillInPlace(save_path_, text.empty() ? nullptr : &saved_file_) &&
        StillInPlace(save_path_ + kIdentitySuffix,
                     identities_saved_ ? &saved_identities_ : nullptr)) {
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
    if (disowned_) return kDisowned;
    int error = 0;
    bool present = false;
    bool ours = MayReplace(&present);
    // The owner's table is the one truth: a file another process put in its place
    // gives way to it.
    if (owns_files_ && !ours) {
        if (present) Warn("Save", "state file " + save_path_ + kTakenOver);
        ours = true;
    }
    if (!ours && !text.empty()) {
        error = kNotOurs;
    } else if (text.empty()) {
        // The state file goes first: an identity file alone names nothing. Another
        // process's file, with the identities beside it, stays.
        const std::string identity_path = save_path_ + kIdentitySuffix;
        if (ours) {
            if (unlink(save_path_.c_str()) != 0 && errno != ENOENT) {
                error = errno;
            } else if (unlink(identity_path.c_str()) != 0 && errno != ENOENT) {
                error = errno;
            } else {
                own_file_.clear();
                own_identities_.clear();
            }
        }
        identities_saved_ = false;
    } else {
        const bool replace = present || owns_files_;
        error = StoreIdentities();
        if (error == 0) error = WriteThroughNew(save_path_, text, &saved_file_, replace);
        if (error == EEXIST && !replace) error = kNotOurs;
        if (error == 0) own_file_ = FileIdentity(save_path_);
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

bool ProcessKeeper::MayReplace(bool* present) const {
    const std::string standing = FileIdentity(save_path_);
    *present = !standing.empty();
    if (!*present) return errno == ENOENT;
    return standing == own_file_;
}

int ProcessKeeper::StoreIdentities() {
    const std::string path = save_path_ + kIdentitySuffix;
    identities_saved_ = false;
    if (owns_files_) {
        const std::string standing = FileIdentity(path);
        if (!standing.empty() && standing != own_identities_) {
            Warn("Save", "identity file " + path + kTakenOver);
        }
    }
    own_identities_.clear();
    if (BootId().empty()) {
        // A later load then recognises the processes by their stamps.
        return unlink(path.c_str()) != 0 && errno != ENOENT ? errno : 0;
    }
    const int error = WriteThroughNew(path, IdentityText(boot_id_, processes_), &saved_identities_);
    identities_saved_ = error == 0;
    if (identities_saved_) own_identities_ = FileIdentity(path);
    return error;
}

std::string ProcessKeeper::SaveFailure(int error) const {
    if (error == kNotOurs) return "state file " + save_path_ + " was made by another process";
    if (error == kDisowned) return "state file " + save_path_ + " is kept by another process";
    char reason[256];
    return "save state file " + save_path_ + " failed: " + strerror_r(error, reason, sizeof(reason));
}

const std::string& ProcessKeeper::BootId() {
    if (boot_id_.empty()) boot_id_ = ReadBootId();
    return boot_id_;
}

bool ProcessKeeper::Load() {
    if (save_path_.empty()) return true;
    // Whatever stands there now is the one an earlier keeper left: a save may
    // replace it, also when it cannot be loaded.
    own_file_ = FileIdentity(save_path_);
    own_identities_ = FileIdentity(save_path_ + kIdentitySuffix);
    struct stat st;
    const int read = ReadStateFile(&processes_, &st);
    if (read < 0) {
        if (errno != EPERM) return false;
        processes_.clear();
        Warn("Load", "state file " + save_path_ +
                         " is not a regular file of this user writable by it alone: not loaded");
        return false;
    }
    LoadIdentities(&processes_);
    return read > 0;
}

int ProcessKeeper::ReadStateFile(std::map<std::string, Process>* table, struct stat* st) {
    int fd = OpenTrusted(save_path_, st);
    if (fd < 0) return -1;
    FILE* file = fdopen(fd, "r");
    if (file == nullptr) {
        close(fd);
        return 0;
    }
    StateReader reader(file, static_cast<uint64_t>(st->st_size));
    const bool ok = reader.Read(table);
    fclose(file);
    return ok ? 1 : 0;
}

void ProcessKeeper::LoadIdentities(std::map<std::string, Process>* table) {
    const std::string path = save_path_ + kIdentitySuffix;
    std::string boot;
    StartTable starts;
    std::string reason;
    const int read = ReadIdentityFile(path, &boot, &starts, &reason);
    // A state file from a version that kept no identities: the stamps decide.
    if (read == 0) return;
    if (read < 0) {
        Warn("Load", "identity file " + path + " " + reason +
                         ": processes are recognised by their start time stamps");
        return;
    }
    // A reboot ended every process the table names.
    const bool same_boot = boot == BootId();
    for (auto& item : *table) {
        Process& process = item.second;
        if (process.pid <= 1 || !KnownByPid(process)) continue;
        auto found = same_boot ? starts.find({item.first, process.pid}) : starts.end();
        if (found != starts.end()) {
            process.start_ticks = found->second;
            continue;
        }
        process.running = false;
        process.status = PROCESS_STOPPED;
        process.pid = -1;
    }
}

}  // namespace tendwell
