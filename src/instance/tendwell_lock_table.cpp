#include "instance/tendwell_lock_table.h"

#include <dirent.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <utility>
#include <sstream>

#include "instance/tendwell_resolved_path.h"

namespace tendwell {

namespace {

// The inodes of the files each process holds a write lock on, as the kernel's
// table has them: "ID: POSIX ADVISORY WRITE PID MAJ:MIN:INODE START END". A lock
// waited for ("ID: -> POSIX ...") is no hold, and one of a process not visible
// in this pid namespace shows no pid.
std::map<pid_t, std::vector<unsigned long>> ReadWriteLocks() {
    std::map<pid_t, std::vector<unsigned long>> locks;
    std::ifstream table("/proc/locks");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string id, kind, mode, access, file;
        long pid = 0;
        fields >> id >> kind >> mode >> access >> pid >> file;
        const size_t colon = file.rfind(':');
        if (kind != "POSIX" || access != "WRITE" || pid <= 0 || colon == std::string::npos) {
            continue;
        }
        locks[static_cast<pid_t>(pid)].push_back(strtoul(file.c_str() + colon + 1, nullptr, 10));
    }
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

// When process pid started, in clock ticks since boot; false when unknown.
bool StartTicks(pid_t pid, unsigned long long* ticks) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(file, stat)) return false;
    const size_t name_end = stat.rfind(')');
    if (name_end == std::string::npos) return false;
    // The start time is the 22nd field, the 20th after the name.
    std::istringstream fields(stat.substr(name_end + 1));
    std::string field;
    for (int i = 0; i < 19; ++i) fields >> field;
    return static_cast<bool>(fields >> *ticks);
}

}  // namespace

std::vector<pid_t> FindLockKeepers(const std::string& path) {
    const std::string named = ResolvedPath(path);
    const std::string removed = named + " (deleted)";
    std::vector<pid_t> keepers;
    for (const auto& held : ReadWriteLocks()) {
        const pid_t pid = held.first;
        std::vector<std::string> links;
        if (pid == getpid() || !OwnedHere(pid) || !LinksTo(pid, held.second, &links)) continue;
        if (std::find_if(links.begin(), links.end(), [&](const std::string& link) {
                return link == named || link == removed;
            }) != links.end()) {
            keepers.push_back(pid);
        }
    }
    // Oldest first; one whose start cannot be read last.
    std::vector<std::pair<unsigned long long, pid_t>> aged;
    for (pid_t pid : keepers) {
        unsigned long long ticks;
        aged.emplace_back(StartTicks(pid, &ticks) ? ticks : ~0ULL, pid);
    }
    std::sort(aged.begin(), aged.end());
    for (size_t i = 0; i < aged.size(); ++i) keepers[i] = aged[i].second;
    return keepers;
}

bool LockedFilesOf(pid_t pid, std::vector<std::string>* files) {
    const auto locks = ReadWriteLocks();
    const auto held = locks.find(pid);
    return held == locks.end() || LinksTo(pid, held->second, files);
}

int CompareAges(pid_t a, pid_t b) {
    unsigned long long a_ticks, b_ticks;
    if (!StartTicks(a, &a_ticks) || !StartTicks(b, &b_ticks)) return 0;
    if (a_ticks != b_ticks) return a_ticks < b_ticks ? -1 : 1;
    return a < b ? -1 : (a > b ? 1 : 0);
}

}  // namespace tendwell
