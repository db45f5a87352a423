// The daemon's end of the control service: serves TSlaveServiceProtocol on the
// Unix-domain socket named in the configuration, and holds the instance lock
// beside it (the socket path followed by ".lock").
#pragma once

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
    // Removes a socket file left behind by an earlier daemon.
    void RemoveSocketFile();

    // Serves until Stop (Monitor thread). Ends the process with status 1 when
    // the socket can never be served.
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

    // Puts the socket and the lock file back when they have gone (a cleaner, a
    // removed directory) and their directory exists, making the data directory
    // again when it has gone. False once another daemon holds the instance lock:
    // this one must then leave the instance to it.
    bool KeepFiles();

    // True when a daemon (another process) holds the instance lock, once a
    // command's hold of it has been waited out.
    bool IsLocked();
    // Takes the instance lock for this daemon; true on success.
    bool LockFile();
    void RemoveLockFile();

private:
    ThriftUnixServer() = default;
    // The lock file of the current socket path; empty when there is none.
    std::string LockPath();
    // One round of serving; true when the socket listened during it. A failure
    // is described in *error.
    bool ServeOnce(const std::shared_ptr<apache::thrift::TProcessor>& processor,
                   const std::string& path, bool private_umask, std::string* error);
    // Sleeps up to ms, returning early when a stop is requested or a new round
    // is asked for.
    void PauseUnlessStopping(int ms);
    // True while the socket path names the socket this server bound last, or
    // before it bound any.
    bool SocketHere();

    std::mutex mutex_;
    // Signalled when listening_, serving_ or stopping_ changes.
    std::condition_variable changed_;
    std::string socket_path_;
    // The round serving now; null between rounds.
    RequestLoop* loop_ = nullptr;
    std::unique_ptr<InstanceLock> lock_;
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
