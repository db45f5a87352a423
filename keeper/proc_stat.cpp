#include "keeper/proc_stat.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <charconv>
#include <condition_variable>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace tendwell {

bool ReadProcStat(pid_t pid, ProcStat* out) {
    char path[32] = "/proc/";
    char* end = std::to_chars(path + 6, path + sizeof(path) - 6, pid).ptr;
    memcpy(end, "/stat", 6);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    // The start is the 22nd field; a command name is at most 64 bytes.
    char buf[512];
    ssize_t n = read(fd, buf, sizeof(buf) - 1);
    close(fd);
    if (n <= 0) return false;
    buf[n] = '\0';
    // The command name may hold blanks and parentheses: the fields follow its last
    // ')'. Read by hand, as the scanf family takes kilobytes of stack, which every
    // keeper thread that asks would then keep.
    const char* at = strrchr(buf, ')');
    if (at == nullptr || at[1] != ' ' || at[2] == '\0') return false;
    out->state = at[2];
    at += 3;
    // From the parent (field 4) to the start (field 22).
    unsigned long long fields[19];
    for (unsigned long long& field : fields) {
        field = strtoull(at, &end, 10);
        if (end == at || (*end != ' ' && *end != '\n' && *end != '\0')) return false;
        at = end;
    }
    out->pgrp = static_cast<pid_t>(fields[1]);
    out->start_ticks = fields[18];
    return true;
}

namespace {

// Groups by id, with the pids that belonged to each at one pass over /proc.
using GroupTable = std::unordered_map<pid_t, std::vector<pid_t>>;

GroupTable ScanGroups() {
    GroupTable groups;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return groups;
    while (struct dirent* entry = readdir(proc)) {
        const pid_t pid = atoi(entry->d_name);
        if (pid <= 0) continue;
        // One cheap call per process; the stat entry, which the kernel builds at
        // some cost, is read later and only for the members asked about.
        const pid_t pgid = getpgid(pid);
        if (pgid > 0) groups[pgid].push_back(pid);
    }
    closedir(proc);
    return groups;
}

// One pass over /proc costs about half a millisecond with a thousand processes, and
// when many kept processes end together (a stop of all) each runner whose group has
// members left asks: a pass that began after a caller's question answers it, so
// callers that wait together share one pass.
class GroupScanner {
public:
    std::vector<pid_t> Members(pid_t pgid) {
        std::unique_lock<std::mutex> lock(mutex_);
        const uint64_t needed = started_ + 1;
        while (done_ < needed) {
            if (scanning_) {
                changed_.wait(lock);
                continue;
            }
            scanning_ = true;
            const uint64_t pass = ++started_;
            lock.unlock();
            GroupTable groups = ScanGroups();
            lock.lock();
            groups_ = std::move(groups);
            done_ = pass;
            scanning_ = false;
            changed_.notify_all();
        }
        auto found = groups_.find(pgid);
        return found == groups_.end() ? std::vector<pid_t>() : found->second;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool scanning_ = false;
    uint64_t started_ = 0;
    uint64_t done_ = 0;
    GroupTable groups_;
};

}  // namespace

bool GroupHasLiveMember(pid_t pgid) {
    // No process at all in the group: no need to look through /proc. Ended members
    // count for kill, so any other answer takes a look. (kill(-1) would ask about
    // every process, kill(0) about the keeper's own group.)
    if (pgid < 2 || (kill(-pgid, 0) != 0 && errno == ESRCH)) return false;
    static GroupScanner scanner;
    for (pid_t pid : scanner.Members(pgid)) {
        ProcStat stat;
        if (ReadProcStat(pid, &stat) && stat.pgrp == pgid && !stat.ended()) return true;
    }
    return false;
}

}  // namespace tendwell
