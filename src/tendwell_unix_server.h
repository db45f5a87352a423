// The daemon's end of the control service: serves TSlaveServiceProtocol on the
// Unix-domain socket named in the configuration, and owns the instance lock file
// beside it (the socket path followed by ".lock").
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include <thrift/concurrency/ThreadManager.h>
#include <thrift/server/TThreadPoolServer.h>

namespace tendwell {

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

    // True when another process holds the lock file.
    bool IsLocked();
    // Takes the lock file for this process; true on success.
    bool LockFile();
    void RemoveLockFile();

    // The same for the lock file at lock_path, for a process that runs a command
    // in place of the daemon. A probe may remove an unlocked lock file at any
    // moment, so the lock counts only once it is held on the file at the path.
    static bool LockFileAt(const std::string& lock_path);
    static void RemoveLockFileAt(const std::string& lock_path);

private:
    ThriftUnixServer() = default;
    // The lock file of the current socket path; empty when there is none.
    std::string LockPath();
    // One round of serving; true when the socket listened during it. A failure
    // of the library is described in *error.
    bool ServeOnce(const std::shared_ptr<apache::thrift::TProcessor>& processor,
                   const std::string& path, bool private_umask, std::string* error);
    // Called by the server once its socket listens.
    void OnListening();
    // Sleeps up to ms, returning early when a stop is requested.
    void PauseUnlessStopping(int ms);

    std::mutex mutex_;
    // Signalled when listening_, serving_ or stopping_ changes.
    std::condition_variable changed_;
    std::string socket_path_;
    std::shared_ptr<apache::thrift::server::TThreadPoolServer> server_;
    std::shared_ptr<apache::thrift::concurrency::ThreadManager> worker_manager_;
    bool listening_ = false;
    // A round of serving has been set up and has not ended yet.
    bool serving_ = false;
    bool stopping_ = false;

    friend class ListenReporter;
};

}  // namespace tendwell
