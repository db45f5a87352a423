// A child process that holds an instance lock the way a daemon or a command run
// in a client does.
#pragma once

#include <unistd.h>

#include <string>

#include "instance/tendwell_instance_lock.h"
#include "test_util.h"

enum class Hold { kDaemon, kCommand };

// Holds the lock at path as hold says until hold_ms have passed (below 0: until
// killed). Returns the child's pid once the lock is held, or -1.
inline pid_t HoldInChild(const std::string& path, Hold hold, int hold_ms,
                         testutil::PidReaper* reaper) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
        tendwell::InstanceLock lock(path);
        const bool held = hold == Hold::kDaemon
                              ? lock.TakeForDaemon(1000)
                              : lock.TakeForCommand(1000) == tendwell::InstanceLock::kNobody;
        const char c = held ? 'y' : 'n';
        if (write(ready[1], &c, 1) != 1 || !held) _exit(1);
        if (hold_ms < 0) pause();
        usleep(hold_ms * 1000);
        _exit(0);
    }
    reaper->Add(child);
    close(ready[1]);
    char c = 'n';
    const bool held = read(ready[0], &c, 1) == 1 && c == 'y';
    close(ready[0]);
    return held ? child : -1;
}
