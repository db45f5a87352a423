// Who holds an instance: the one rule that every place which must know asks (the
// command line's routing of "start", the foreground's wait for its daemon, the
// daemon's take of its lock file, a command's choice between the daemon and
// running here, and the wait for a stopping daemon). The claim is looked at first:
// a process that holds it is the instance's daemon, whatever became of its files.
// Only where no claim answers does the lock file say: a hold a command marked is
// a command's, and an unmarked one is a daemon's only while its holder serves the
// control socket (a daemon whose claim is out of reach); any other process that
// holds the lock file is no daemon of this instance. A claim held by a process of
// another user is not this user's daemon: the lock file says then.
#pragma once

#include <sys/types.h>

#include <string>

namespace tendwell {

class InstanceClaim;
class InstanceLock;

struct InstanceHolder {
    enum Kind {
        kNobody,
        kDaemon,
        // A command run in a client holds the lock, also after the wait.
        kCommand,
        // Another program holds the lock file: it holds no claim and serves no socket.
        kOther,
        // The claim cannot be looked at, or the lock file opened or probed: why
        // says what is in the way.
        kUnusable,
    };
    Kind kind = kNobody;
    // The holder's pid; 0 when there is none or it cannot be told.
    pid_t pid = 0;
    std::string why;
};

// Who holds the instance of the control socket at socket_path, whose claim and
// lock these are, waiting out a command's hold of the lock for at most wait_ms. A
// claim this process holds answers for nobody: the lock file is then asked.
InstanceHolder FindInstanceHolder(InstanceClaim* claim, InstanceLock* lock,
                                  const std::string& socket_path, int wait_ms);
// The same, as seen by a process that holds neither: a relative socket_path is
// taken from the working directory now.
InstanceHolder FindInstanceHolder(const std::string& socket_path, int wait_ms);

}  // namespace tendwell
