#include "proc_stat.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace tendwell {

bool ReadProcStat(pid_t pid, ProcStat* out) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    // The start is the 22nd field; a command name is at most 64 bytes.
    char buf[1024];
    ssize_t n = read(fd, buf, sizeof(buf) - 1);
    close(fd);
    if (n <= 0) return false;
    buf[n] = '\0';
    // The command name may hold blanks and parentheses: the fields follow its last ')'.
    const char* rest = strrchr(buf, ')');
    if (rest == nullptr) return false;
    // State, parent, group, then the 16 fields before the start.
    constexpr char kFormat[] =
        " %c %*s %d %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %llu";
    int pgrp = 0;
    unsigned long long start = 0;
    if (sscanf(rest + 1, kFormat, &out->state, &pgrp, &start) != 3) return false;
    out->pgrp = pgrp;
    out->start_ticks = start;
    return true;
}

bool GroupHasLiveMember(pid_t pgid) {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return false;
    bool found = false;
    while (struct dirent* entry = readdir(proc)) {
        const pid_t pid = atoi(entry->d_name);
        ProcStat stat;
        // One cheap call per process; the stat entry, which the kernel builds at
        // some cost, is read only for the members.
        if (pid > 0 && getpgid(pid) == pgid && ReadProcStat(pid, &stat) && stat.pgrp == pgid &&
            !stat.ended()) {
            found = true;
            break;
        }
    }
    closedir(proc);
    return found;
}

}  // namespace tendwell
