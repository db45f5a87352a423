// Who holds an instance: the one rule that every place which must know asks (the
// command line's routing of "start" and its rounds, the start's look at the state
// file before anything is run, the daemon's take of its lock file and its look
// once it holds the state file's lock, a command's choice between the daemon and
// running here, and the wait for a stopping daemon). It decides by what no other
// user can forge and no file operation removes, and fails closed: a look that
// cannot be made answers kUnusable, never nobody. In this order:
// 1. The claim: a process of this user that holds one of its names is the
//    daemon, whatever became of its files.
// 2. The instance lock: a hold a command marked is a command's (waited out); an
//    unmarked one is a daemon's while its holder serves the control socket or
//    keeps the state file, and another program's (kOther) otherwise, unless the
//    next step finds a keeper.
// 3. The state file's keeper: the holder of its lock, else, in the kernel's
//    table of locks, a process of this user that holds the lock of a file
//    removed from that path: the daemon while it serves the control socket or
//    holds its lock file (also one removed), another configuration's keeper
//    (kKeeper) otherwise.
#pragma once

#include <sys/types.h>

#include <string>

namespace tendwell {

class InstanceClaim;
class PConfigure;

struct InstanceHolder {
    enum Kind {
        kNobody,
        kDaemon,
        // A command run in a client holds the lock, also after the wait.
        kCommand,
        // Another program holds the lock file: it holds no claim, serves no socket
        // and keeps no state file of this configuration.
        kOther,
        // Another process keeps the state file: a daemon or command of another
        // configuration on the same file.
        kKeeper,
        // The claim cannot be looked at, or a lock file opened or asked: why says
        // what is in the way.
        kUnusable,
    };
    Kind kind = kNobody;
    // The holder's pid; 0 when there is none or it cannot be told.
    pid_t pid = 0;
    // What is in the way (kUnusable); for a keeper of the state file found by its
    // lock, the words that name it.
    std::string why;
    // The state file's lock answered (kKeeper, or kUnusable for its lock file).
    bool state_lock = false;
};

// What this process holds of the instance itself: looked at, its claim would
// answer for itself, and a look that opens a lock file it holds would drop the
// hold (closing any descriptor of a file drops the process's lock on it).
struct OwnHolds {
    // Its names answer for nobody while this process holds one.
    InstanceClaim* claim = nullptr;
    bool lock = false;
    // The state file's keeper is then asked of the kernel's table alone.
    bool state_lock = false;
};

// Who holds the instance of conf, its control socket and its state file, as seen
// from the working directory now; a command's hold of the lock is waited out for
// at most wait_ms.
InstanceHolder FindInstanceHolder(const PConfigure& conf, int wait_ms,
                                  const OwnHolds& own = OwnHolds());

// How the daemon that answered on conf's control socket stands to conf's state
// file: asked of that file's lock, else of the locks the daemon holds through its
// own descriptors. No other process is read.
enum class DaemonKeeping {
    kKeeps,
    // Another process holds the state file's lock: *keeper.
    kKeptByOther,
    // It holds the instance lock of conf's socket and another state file's lock.
    kKeepsAnother,
    // It holds no lock but the instance lock: a daemon of a version without the
    // state file's lock, or on a file system without locks.
    kNoStateLock,
    // The state file's lock file is on a file system without locks: nothing
    // can be told.
    kUnguarded,
    // Not known yet: its locks cannot be read, or name paths that links re-pointed
    // since may yet move (a daemon following them holds its new files within its
    // look).
    kNotKnown,
};
DaemonKeeping DaemonKeepsStateFile(const PConfigure& conf, pid_t daemon, pid_t* keeper);

}  // namespace tendwell
