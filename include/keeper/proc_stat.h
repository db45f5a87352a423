// What the keeper reads of other processes in /proc: the fields of a process's
// "stat" entry it needs, and whether a process group still has live members.
#pragma once

#include <stdint.h>
#include <sys/types.h>

namespace tendwell {

struct ProcStat {
    // The one-letter state: 'Z' or 'X' once the process has ended.
    char state = 0;
    pid_t pgrp = 0;
    // Start in clock ticks after boot.
    uint64_t start_ticks = 0;

    bool ended() const { return state == 'Z' || state == 'X'; }
};

// False when pid has no readable entry.
bool ReadProcStat(pid_t pid, ProcStat* out);

// Whether a process that has not ended belongs to group pgid. A group that has no
// process left, not even an ended one, is answered without a look through /proc;
// ids below 2 have none.
bool GroupHasLiveMember(pid_t pgid);

}  // namespace tendwell
