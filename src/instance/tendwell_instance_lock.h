// The instance lock: the file at the control socket's path followed by ".lock".
// A write lock on the whole file is held by the daemon for its life, by a command
// run in a client for the whole command, and by a probe for a moment while it
// removes a stale file: commands run in clients take turns by it, and a daemon
// starts only once they are done. Who holds the instance is asked of the claim
// first (tendwell_instance_holder.h), as files can be removed; older binaries
// look at the lock alone, so it stays exactly as it always was. Beside it, every
// hold that is not a daemon's is marked by a shared flock on the same file, taken
// first and let go last, which is how a daemon's hold is told from a command's.
#pragma once

#include <sys/types.h>

#include <string>

namespace tendwell {

class InstanceLock {
public:
    enum Owner {
        kNobody,
        kDaemon,
        // A command run in a client, or a probe for a moment.
        kCommand,
        // The file cannot be opened or probed, so who holds it is unknown:
        // why() says what is in the way.
        kUnusable,
    };

    explicit InstanceLock(std::string path);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    const std::string& path() const { return path_; }
    // What makes the file unusable, after an answer of kUnusable.
    const std::string& why() const { return why_; }

    // Who holds the lock file: kDaemon for any unmarked hold. A lock file nobody
    // holds is removed as stale. Never asked by a process that holds the lock itself:
    // the answer would be kNobody, and the file would go.
    Owner Probe();
    // Probe, waiting out a command's hold for at most timeout_ms.
    Owner Await(int timeout_ms);

    // Takes the lock as the daemon, for the life of the process, waiting out a
    // command's hold for at most timeout_ms. True once this process holds the
    // lock on the file at the path.
    bool TakeForDaemon(int timeout_ms);
    // Takes the lock for a command run in this process, waiting out other
    // commands' holds for at most timeout_ms. kNobody once it is held, or when no
    // lock file can be made at all (the command then runs unlocked); otherwise
    // the owner that keeps it.
    Owner TakeForCommand(int timeout_ms);
    // The daemon's look after its lock file went or was replaced: locks the file at
    // the path, made by exclusive create when there is none, and never removes one.
    // kNobody once this process holds it; otherwise who is in the way: kDaemon for
    // any process that holds it unmarked, kUnusable, or kCommand for a command's
    // moment or anything else that a later look may find gone.
    Owner Retake();
    // True while the path still names the file this process locked.
    bool HeldHere() const;
    // Lets go of a hold whose file the path no longer names: a lock on a file that
    // has gone guards nothing, and its descriptor would be kept for nothing.
    void Forsake();
    // Removes the lock file; a lock this process holds lasts until it exits.
    void Remove();

    // The pid of the process holding the whole-file lock, without taking it; 0
    // when the file is gone, nobody holds it or the holder is not visible here.
    pid_t HolderPid() const;

private:
    // Takes the lock, marked first for a command: kNobody once held_fd_ holds it
    // on the file at the path, or when no lock file can be made (held_fd_ then
    // stays -1); otherwise the owner that keeps it.
    Owner TakeLoop(bool as_daemon, int timeout_ms);
    // The answer for a lock file that cannot be opened with error.
    Owner Unopenable(int error);

    std::string path_;
    std::string why_;
    // The descriptor of a hold; never closed, as that would drop the lock.
    int held_fd_ = -1;
};

}  // namespace tendwell
