// The keeper's state file: written to a ".new" file that replaces the old one only
// once it is complete, so a failed save never damages a good state file.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "corvel/fd_io.h"
#include "keeper/process_keeper.h"
#include "state_archive.h"

namespace tendwell {

bool ProcessKeeper::Save() {
    if (save_path_.empty()) return true;
    bool active = false;
    for (const auto& item : processes_) {
        if (item.second.status != PROCESS_STOPPED) active = true;
    }
    if (!active) return unlink(save_path_.c_str()) == 0 || errno == ENOENT;

    const std::string text = StateWriter::Write(processes_);
    const std::string new_path = save_path_ + ".new";
    int fd = open(new_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    // An older ".new" file keeps its mode through O_CREAT.
    bool written = fchmod(fd, 0600) == 0 &&
                   corvel::write_all(fd, text.data(), text.size(), -1) ==
                       static_cast<ssize_t>(text.size());
    // A failed close may mean lost data: only a clean close lets the file replace
    // the state file.
    if (close(fd) != 0) written = false;
    if (!written) return false;
    if (rename(new_path.c_str(), save_path_.c_str()) != 0) {
        unlink(new_path.c_str());
        return false;
    }
    return true;
}

bool ProcessKeeper::Load() {
    if (save_path_.empty()) return true;
    // Non-blocking so that a FIFO in its place cannot hang the keeper.
    int fd = open(save_path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
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
