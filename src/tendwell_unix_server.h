// The daemon's end of the control service: serves TSlaveServiceProtocol on the
// Unix-domain socket named in the configuration, and holds the instance's claim,
// its lock file beside the socket (the socket path followed by ".lock") and the
// state file's lock.
#pragma once

#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include <thrift/TProcessor.h>

#include "instance/tendwell_instance_claim.h"
#include "instance/tendwell_instance_lock.h"
#include "instance/tendwell_state_lock.h"

namespace tendwell {

class RequestLoop;

class ThriftUnixServer {
public:
    static ThriftUnixServer* GetInstance();

    std::string GetSocketPath();
    // Takes the socket path from g_conf when it has one.
    void GenerateSocketPath();
    // The instance's claim (tendwell_instance_claim.h), made at the first call from
    // the socket path and the working directory then. The daemon takes it before it
    // touches anything of the instance and holds it for its life: it decides, alone,
    // that this daemon owns the instance.
    InstanceClaim& Claim();

    // Makes the daemon's socket for Run, before the daemon loads or starts anything,
    // removing a socket left behind by an earlier daemon. Ends the process with
    // status 1 when it cannot: something else stands at the path, or another
    // process serves it. Called while the process has a single thread.
    void Bind();

    // Serves until Stop (Monitor thread), on the sockets Bind and KeepSocket make.
    // Ends the process with status 1 when no socket can ever be served.
    int Run();
    // Stops serving and removes the socket and the lock file, lets go of the state
    // file's lock, then of the claim: a start that finds the claim free finds the
    // instance's files free too.
    void Stop();
    // Waits up to timeout_ms for the server to listen; true once it does.
    bool WaitListening(int timeout_ms);

    // Why no socket can be served at the socket path of a loaded and checked
    // configuration (never empty, short enough for an address), or an empty
    // string when one can: its directory exists, and nothing but a socket (an
    // earlier daemon's) stands there.
    static std::string Unservable(const std::string& path);

    // The daemon's look after its files, which puts back what has gone (a cleaner, a
    // removed directory) in this order: the data directory, the state file's lock
    // (made and locked again, the hold of the file that went being kept until
    // then; another keeper that holds it is logged once as an error: an older one,
    // or one whose age cannot be told that still holds it a second later, is the
    // keeper, and this daemon must stand down, Supplanted; a younger one gives way
    // by the same rule and is waited out; a file that cannot be locked is logged
    // once and looked at again), the lock file (KeepLockFile: the file at the lock
    // path is locked, made by exclusive create where there is none, and never
    // removed; a lock another process holds is logged and tried again at the next
    // look), the state file (the keeper), then the socket (KeepSocket: made where
    // the path is free, and handed to the round that serves the old one; whatever
    // else stands there is logged once and left). Only the main loop calls them, so
    // one thread makes every socket.
    void KeepLockFile();
    void KeepSocket();
    // Takes the names of the claim that squatters held once they are free.
    void KeepClaim();
    // Whether the lock files and the socket at their paths are this daemon's.
    bool FilesInPlace();

    // True when a daemon (another process) holds the instance
    // (tendwell_instance_holder.h).
    bool IsLocked();
    // Takes the instance lock for this daemon, the claim's holder: true once held,
    // or once it is told that the process holding it is no daemon of this instance
    // (the lock is then taken at a later look, once free).
    bool LockFile();
    // Takes the state file's lock for this daemon; false, having logged why, when
    // another process keeps the state file or its lock file cannot be held. On a
    // file system without locks the daemon runs unguarded, and the log says so.
    bool LockStateFile();
    // Why this daemon must stand down, leaving the tendlets to the state file's
    // keeper; empty while it keeps them.
    std::string Supplanted();
    void RemoveLockFile();

private:
    ThriftUnixServer() = default;
    // The lock file of the current socket path; empty when there is none.
    std::string LockPath();
    // One round of serving, on the next socket made; true when it served. Why it
    // could not, or stopped serving before a stop, is in *error.
    bool ServeOnce(const std::shared_ptr<apache::thrift::TProcessor>& processor,
                   std::string* error);
    // Gives the socket made at the socket path, described by bound_file, to the
    // round serving now, or to the next one.
    void Hand(int fd, const struct stat& bound_file);
    // Sleeps up to ms, returning early when a stop is requested.
    void PauseUnlessStopping(int ms);
    // True while the socket path names the socket this server made last.
    bool SocketHere();
    bool SocketHereLocked();
    // Logs once, for as long as it lasts, that another process holds the lock file.
    void ReportHold(const std::string& hold);
    // The state file's lock again, where this daemon no longer holds it at its path.
    void KeepStateLock();
    // Logs once, for as long as it lasts, what keeps the state file's lock from
    // this daemon.
    void ReportKeeper(const std::string& kept);

    std::mutex mutex_;
    // Signalled when listening_, loop_, bound_fd_ or stopping_ changes.
    std::condition_variable changed_;
    std::string socket_path_;
    // The round serving now; null between rounds.
    RequestLoop* loop_ = nullptr;
    std::unique_ptr<InstanceClaim> claim_;
    std::unique_ptr<InstanceLock> lock_;
    std::unique_ptr<StateLock> state_lock_;
    // Who holds the lock file or the state file's lock in this daemon's place, and
    // what keeps the socket path from this daemon, as last reported; empty while
    // nothing does. Main loop only.
    std::string reported_hold_;
    std::string reported_keeper_;
    std::string reported_socket_;
    // Since when a keeper whose age cannot be told holds the state file's lock; 0
    // while none does. Main loop only.
    uint64_t unknown_keeper_since_ns_ = 0;
    // Set once this daemon must stand down.
    std::string supplanted_;
    // A socket made for the next round; -1 when none waits.
    int bound_fd_ = -1;
    bool listening_ = false;
    // The file made last at the socket path, once one was.
    bool bound_ = false;
    dev_t socket_dev_ = 0;
    ino_t socket_ino_ = 0;
    bool stopping_ = false;
};

}  // namespace tendwell
