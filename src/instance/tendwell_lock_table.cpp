#include "instance/tendwell_lock_table.h"

#include <dirent.h>
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <utility>

#include "instance/tendwell_proc_rows.h"
#include "instance/tendwell_resolved_path.h"
#include "keeper/proc_stat.h"

namespace tendwell {

namespace {

// The inodes of the files each process holds a write lock on, as the kernel's
// table has them: "ID: POSIX ADVISORY WRITE PID MAJ:MIN:INODE START END". A lock
// waited for ("ID: -> POSIX ...") is no hold, and one of a process not visible
// in this pid namespace shows no pid.
std::map<pid_t, std::vector<unsigned long>> ReadWriteLocks() {
    std::map<pid_t, std::vector<unsigned long>> locks;
    // The words up to the file: id, kind, mode, access, pid, file.
    ReadProcRows("/proc/locks", 6, [&](const char* const* words) {
        if (words[5] == nullptr || strcmp(words[1], "POSIX") != 0 ||
            strcmp(words[3], "WRITE") != 0) {
            return;
        }
        const long pid = strtol(words[4], nullptr, 10);
        const char* inode = strrchr(words[5], ':');
        if (pid > 0 && inode != nullptr) {
            locks[static_cast<pid_t>(pid)].push_back(strtoul(inode + 1, nullptr, 10));
        }
    });
    return locks;
}

// The links of pid's descriptors whose file is one of inodes; false when its
// descriptors cannot be read. One that has ended since holds nothing.
bool LinksTo(pid_t pid, const std::vector<unsigned long>& inodes,
             std::vector<std::string>* links) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* fds = opendir(dir.c_str());
    if (fds == nullptr) return errno == ENOENT;
    while (const struct dirent* entry = readdir(fds)) {
        if (entry->d_name[0] == '.') continue;
        const std::string fd = dir + "/" + entry->d_name;
        struct stat st;
        if (stat(fd.c_str(), &st) != 0 ||
            std::find(inodes.begin(), inodes.end(), st.st_ino) == inodes.end()) {
            continue;
        }
        char link[4096];
        const ssize_t len = readlink(fd.c_str(), link, sizeof(link));
        if (len > 0) links->emplace_back(link, static_cast<size_t>(len));
    }
    closedir(fds);
    return true;
}

bool OwnedHere(pid_t pid) {
    struct stat st;
    return stat(("/proc/" + std::to_string(pid)).c_str(), &st) == 0 && st.st_uid == geteuid();
}

}  // namespace

std::vector<LockKeeper> FindLockKeepers(const std::string& path) {
    const std::string named = ResolvedPath(path);
    const std::string removed = named + " (deleted)";
    // Oldest first; one whose start cannot be read last.
    std::vector<std::pair<uint64_t, LockKeeper>> aged;
    for (const auto& held : ReadWriteLocks()) {
        LockKeeper keeper;
        keeper.pid = held.first;
        if (keeper.pid == getpid() || !OwnedHere(keeper.pid) ||
            !LinksTo(keeper.pid, held.second, &keeper.files) ||
            std::none_of(keeper.files.begin(), keeper.files.end(), [&](const std::string& file) {
                return file == named || file == removed;
            })) {
            continue;
        }
        ProcStat stat;
        aged.emplace_back(ReadProcStat(keeper.pid, &stat) ? stat.start_ticks : UINT64_MAX,
                          std::move(keeper));
    }
    std::sort(aged.begin(), aged.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first < b.first : a.second.pid < b.second.pid;
    });
    std::vector<LockKeeper> keepers;
    for (auto& keeper : aged) keepers.push_back(std::move(keeper.second));
    return keepers;
}

bool LockedFilesOf(pid_t pid, std::vector<std::string>* files) {
    const auto locks = ReadWriteLocks();
    const auto held = locks.find(pid);
    return held == locks.end() || LinksTo(pid, held->second, files);
}

int CompareAges(pid_t a, pid_t b) {
    ProcStat first, second;
    if (!ReadProcStat(a, &first) || !ReadProcStat(b, &second)) return 0;
    if (first.start_ticks != second.start_ticks) {
        return first.start_ticks < second.start_ticks ? -1 : 1;
    }
    return a < b ? -1 : (a > b ? 1 : 0);
}

}  // namespace tendwell
