// The daemon's end of the control service: serves TSlaveServiceProtocol on the
// Unix-domain socket named in the configuration, and holds the instance lock
// beside it (the socket path followed by ".lock").
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include <thrift/TProcessor.h>

#include "tendwell_instance_lock.h"

namespace tendwell {

class RequestLoop;

class ThriftUnixServer {
public:
    static ThriftUnixServer* GetInstance();

    std::string GetSocketPath();
    // Takes the socket path from g_conf when it has one.
    void GenerateSocketPath();
    // Binds the daemon's socket for Run, before the daemon loads or starts anything,
    // removing a socket left behind by an earlier daemon. Ends the process with
    // status 1 when it cannot: also when another process serves the path, as a
    // daemon that comes second leaves the instance to the one that serves it.
    // Called while the process has a single thread.
    void Bind();

    // Serves until Stop (Monitor thread), on the socket Bind made when there is one.
    // Ends the process with status 1 when the socket can never be served.
    int Run();
    // Stops serving and removes the socket and lock files.
    void Stop();
    // Waits up to timeout_ms for the server to listen; true once it does.
    bool WaitListening(int timeout_ms);

    // Why no socket can be served at the socket path of a loaded and checked
    // configuration (never empty, short enough for an address), or an empty
    // string when one can: its directory exists, and nothing but a socket (an
    // earlier daemon's) stands there.
    static std::string Unservable(const std::string& path);

    // The daemon's look after its files, which put back what has gone (a cleaner, a
    // removed directory) in this order: the data directory and the lock file
    // (KeepLockFile: the file at the lock path is locked, made by exclusive create
    // where there is none, and never removed; a lock another process holds is
    // logged and tried again at the next look), the state file (the keeper), then
    // the socket (KeepSocket: bound at once where the path is free, and served by
    // a new round). False from KeepSocket once another daemon of this
    // configuration answers on the socket path: this one must then leave the
    // instance to it.
    void KeepLockFile();
    bool KeepSocket();
    // Whether the lock file and the socket at their paths are this daemon's.
    bool FilesInPlace();
    // Whether this daemon may write the instance's files: it holds the instance lock
    // or its socket is the one at the socket path. A daemon that does neither may
    // meet another that loads them.
    bool OwnsInstance();

    // True when a daemon (another process) holds the instance lock, once a
    // command's hold of it has been waited out, or nobody holds it but a process
    // listens on the socket (a daemon putting its lock file back).
    bool IsLocked();
    // Takes the instance lock for this daemon; true on success.
    bool LockFile();
    void RemoveLockFile();

private:
    ThriftUnixServer() = default;
    // The lock file of the current socket path; empty when there is none.
    std::string LockPath();
    // One round of serving, on the socket Bind made or on a new one; true when the
    // socket listened during it. A failure is described in *error.
    bool ServeOnce(const std::shared_ptr<apache::thrift::TProcessor>& processor,
                   const std::string& path, bool private_umask, std::string* error);
    // Notes the file a bind made at the socket path.
    void NoteBound(const struct stat& bound_file);
    // Sleeps up to ms, returning early when a stop is requested, a new round is
    // asked for or a socket waits for one.
    void PauseUnlessStopping(int ms);
    // True while the socket path names the socket this server bound last.
    bool SocketHere();
    bool SocketHereLocked();

    std::mutex mutex_;
    // Signalled when listening_, serving_ or stopping_ changes.
    std::condition_variable changed_;
    std::string socket_path_;
    // The round serving now; null between rounds.
    RequestLoop* loop_ = nullptr;
    std::unique_ptr<InstanceLock> lock_;
    // Who holds the lock file in this daemon's place, as last reported; empty
    // while this daemon holds it. Main loop only.
    std::string reported_hold_;
    // The socket that Bind or KeepSocket made, until a round serves it; -1 when none.
    int bound_fd_ = -1;
    bool listening_ = false;
    // The file the last round bound at the socket path, once one did.
    bool bound_ = false;
    dev_t socket_dev_ = 0;
    ino_t socket_ino_ = 0;
    // A new round is asked for: the socket went.
    bool rebind_ = false;
    // A round of serving has been set up and has not ended yet.
    bool serving_ = false;
    bool stopping_ = false;
};

}  // namespace tendwell
