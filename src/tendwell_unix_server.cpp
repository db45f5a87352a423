#include "tendwell_unix_server.h"

#include <errno.h>
#include <sched.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <exception>
#include <memory>

#include "tendwell/protocal/TSlaveServiceProtocol.h"
#include "tendwell_configure.h"
#include "tendwell_request_loop.h"
#include "tendwell_socket_state.h"
#include "tendwell_slave_service_handler.h"
#include "tendwell_unix_rpc_manager.h"
#include "tendwell_utility.h"

namespace tendwell {

namespace {

constexpr int kListenBacklog = 1024;
// How long another daemon has to answer the check that tells it is one.
constexpr int kAnswerMs = 2000;

// Removes the socket at path and nothing else that may stand there; unlink's
// result, or -1 with errno ENOTSOCK for a file that is not a socket.
int RemoveSocketAt(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode)) {
        errno = ENOTSOCK;
        return -1;
    }
    return unlink(path.c_str());
}

// A non-blocking socket listening at path, private (0600) from its first
// appearance: with a private umask from its creation, otherwise from before any
// client can connect; *bound describes the file made. -1 with *error when it
// cannot be made.
int ListenAt(const std::string& path, bool private_umask, struct stat* bound_file,
             std::string* error) {
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) {
        *error = "socket path too long";
        return -1;
    }
    memcpy(addr.sun_path, path.c_str(), path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + strerror(errno);
        return -1;
    }
    const mode_t saved_umask = private_umask ? umask(0177) : 0;
    const int bound = bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));
    const int bind_error = errno;
    if (private_umask) umask(saved_umask);
    const char* failed = nullptr;
    if (bound != 0) {
        errno = bind_error;
        failed = "bind";
    } else if (chmod(path.c_str(), 0600) != 0) {
        failed = "chmod 0600 of the socket";
    } else if (lstat(path.c_str(), bound_file) != 0) {
        failed = "stat of the socket";
    } else if (listen(fd, kListenBacklog) != 0) {
        failed = "listen";
    }
    if (failed == nullptr) return fd;
    *error = std::string(failed) + ": " + strerror(errno);
    if (bound == 0) RemoveSocketAt(path);
    close(fd);
    return -1;
}

// A socket listening at path where nothing stands, or where only a socket stands
// that nobody listens on any more (an earlier daemon's, removed first); as ListenAt.
// Never removes anything else: whatever else stands there keeps the path taken, and
// *served is then set when a live process listens there.
int ListenFresh(const std::string& path, bool private_umask, struct stat* bound_file,
                bool* served, std::string* error) {
    pid_t listener = 0;
    *served = false;
    switch (LookAtSocket(path, &listener)) {
    case SocketState::kNotSocket:
        *error = NotSocketText(path);
        return -1;
    case SocketState::kListening:
        *served = true;
        *error = "served by process " + std::to_string(listener);
        return -1;
    case SocketState::kStale: {
        const int ret = RemoveSocketAt(path);
        TW_NOTICE("RemoveSocketFile", "remove socket file:%s return:%d errno:%d", path.c_str(),
                  ret, errno);
        break;
    }
    case SocketState::kAbsent:
        break;
    }
    return ListenAt(path, private_umask, bound_file, error);
}

// Whether another daemon of this configuration answers the control service at path:
// the pid of the process serving it, or 0.
pid_t AnotherDaemonAt(const std::string& path) {
    UnixRpcManager client(path.c_str());
    client.SetRecvTimeout(kAnswerMs);
    TTendletStatusResponse response;
    client.Check(response, kAnswerMs / 1000);
    if (UnixRpcManager::ClientFailure(response.returnInfo.returnCode)) return 0;
    const pid_t peer = client.PeerPid();
    return peer != getpid() ? peer : 0;
}

[[noreturn]] void GiveUpServing() {
    TW_FATAL("Monitor", "cann't start monitor server, break..");
    _exit(1);
}

}  // namespace

ThriftUnixServer* ThriftUnixServer::GetInstance() {
    // Never destroyed: server threads may still use it while the process exits.
    static ThriftUnixServer* instance = new ThriftUnixServer();
    return instance;
}

std::string ThriftUnixServer::GetSocketPath() {
    std::lock_guard<std::mutex> lock(mutex_);
    return socket_path_;
}

void ThriftUnixServer::GenerateSocketPath() {
    if (!g_conf.tendwell().has_unix_socket_path()) {
        TW_NOTICE("GenerateSocketPath", "no socket path??");
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    socket_path_ = g_conf.tendwell().unix_socket_path();
}

void ThriftUnixServer::Bind() {
    GenerateSocketPath();
    const std::string path = GetSocketPath();
    struct stat bound_file;
    bool served = false;
    std::string error;
    // Nothing else runs yet: the umask may be changed for the bind.
    const int fd = ListenFresh(path, true, &bound_file, &served, &error);
    if (fd < 0) {
        if (served) {
            TW_FATAL("Bind", "%s is %s: leave the instance to it", path.c_str(), error.c_str());
        } else {
            TW_FATAL("Monitor", "serve %s fail: %s", path.c_str(), error.c_str());
        }
        GiveUpServing();
    }
    NoteBound(bound_file);
    std::lock_guard<std::mutex> lock(mutex_);
    bound_fd_ = fd;
}

void ThriftUnixServer::NoteBound(const struct stat& bound_file) {
    std::lock_guard<std::mutex> lock(mutex_);
    bound_ = true;
    socket_dev_ = bound_file.st_dev;
    socket_ino_ = bound_file.st_ino;
}

int ThriftUnixServer::Run() {
    GenerateSocketPath();
    std::string path = GetSocketPath();
    TW_NOTICE("ThriftUnixServer", "begin to monito on %s..", path.c_str());
    if (path.empty()) {
        TW_FATAL("Monitor", "empty socket path, refuse to serve");
        GiveUpServing();
    }
    RouteThriftOutputToLog();
    // A umask of this thread alone lets the socket be created 0600 without
    // touching the files and processes that other threads create meanwhile.
    bool private_umask = unshare(CLONE_FS) == 0;
    if (!private_umask) {
        TW_WARNING("Run", "unshare(CLONE_FS) fail, errno:%d; the socket mode is set after bind",
                   errno);
    }
    auto processor =
        std::make_shared<TSlaveServiceProtocolProcessor>(std::make_shared<SlaveServiceHandler>());
    bool ever_listened = false;
    // What kept the last round from serving, logged once while it lasts.
    std::string reported;
    for (;;) {
        std::string error;
        bool listened = ServeOnce(processor, path, private_umask, &error);
        if (!error.empty() && !listened && !ever_listened) {
            TW_FATAL("Monitor", "serve %s fail: %s", path.c_str(), error.c_str());
            GiveUpServing();
        }
        ever_listened = ever_listened || listened;
        bool rebind;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) break;
            rebind = rebind_ && listened;
            rebind_ = false;
        }
        // A daemon that holds the lock must not stay unreachable: a round that ended
        // by itself with its socket in place makes a new one. Any other file there is
        // not ours, and after a rebind the socket there is the next round's.
        if (!rebind && SocketHere()) {
            int ret = RemoveSocketAt(path);
            TW_NOTICE("Run", "remove socket file:%s return:%d errno:%d", path.c_str(), ret, errno);
        }
        if (rebind) {
            TW_WARNING("Run", "socket %s was gone, serve it again", path.c_str());
            reported.clear();
            continue;
        }
        if (error.empty()) error = "accept failed";
        if (error != reported) {
            TW_WARNING("Run", "server left serving (%s), serve again in a second",
                       error.c_str());
            reported = error;
        }
        PauseUnlessStopping(1000);
    }
    // Stop has removed the socket before the lock file: removing the path again
    // here could take the socket of a daemon started since.
    TW_NOTICE("Monitor", "begin to stop ...");
    return 0;
}

bool ThriftUnixServer::ServeOnce(const std::shared_ptr<apache::thrift::TProcessor>& processor,
                                 const std::string& path, bool private_umask,
                                 std::string* error) {
    int listen_fd;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return false;
        serving_ = true;
        listen_fd = bound_fd_;
        bound_fd_ = -1;
    }
    bool listened = false;
    if (listen_fd < 0) {
        struct stat bound_file;
        bool served = false;
        listen_fd = ListenFresh(path, private_umask, &bound_file, &served, error);
        if (listen_fd >= 0) NoteBound(bound_file);
    }
    if (listen_fd >= 0) {
        try {
            RequestLoop loop(processor, RequestLoop::Limits());
            bool stop_now;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                loop_ = &loop;
                listening_ = listened = true;
                stop_now = stopping_;
                changed_.notify_all();
            }
            // A stop that came while the socket was being set up ends serving at once.
            if (stop_now) loop.Stop();
            TW_NOTICE("Run", "begin to run thrift server...");
            *error = loop.Serve(listen_fd);
            // The loop ends with this scope: nothing may stop it from here on.
            std::lock_guard<std::mutex> lock(mutex_);
            loop_ = nullptr;
        } catch (const std::exception& e) {
            // No worker thread could be made.
            *error = e.what();
        }
        close(listen_fd);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    loop_ = nullptr;
    listening_ = false;
    serving_ = false;
    changed_.notify_all();
    return listened;
}

bool ThriftUnixServer::WaitListening(int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [this] { return listening_ || stopping_; });
    return listening_;
}

void ThriftUnixServer::PauseUnlessStopping(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(ms),
                      [this] { return stopping_ || rebind_ || bound_fd_ >= 0; });
}

bool ThriftUnixServer::SocketHere() {
    std::lock_guard<std::mutex> lock(mutex_);
    return SocketHereLocked();
}

bool ThriftUnixServer::SocketHereLocked() {
    if (!bound_) return false;
    struct stat st;
    return lstat(socket_path_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) &&
           st.st_dev == socket_dev_ && st.st_ino == socket_ino_;
}

bool ThriftUnixServer::FilesInPlace() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lock_ != nullptr && lock_->HeldHere() && SocketHereLocked();
}

bool ThriftUnixServer::OwnsInstance() {
    std::lock_guard<std::mutex> lock(mutex_);
    return (lock_ != nullptr && lock_->HeldHere()) || SocketHereLocked();
}

bool ThriftUnixServer::KeepSocket() {
    if (SocketHere()) return true;
    const std::string path = GetSocketPath();
    pid_t listener = 0;
    const bool listened = LookAtSocket(path, &listener) == SocketState::kListening;
    // Ours, from a round that has yet to note it.
    if (listened && listener == getpid()) return true;
    // Only another daemon can have bound the path: ours is bound only where the
    // path is free.
    const pid_t other = listened ? AnotherDaemonAt(path) : 0;
    if (other != 0) {
        TW_WARNING("KeepFiles", "another daemon (pid %d) serves %s now", static_cast<int>(other),
                   path.c_str());
        return false;
    }
    // Bound here and now, where the path is free: a round still ending keeps the
    // Monitor thread until its requests are answered, and a client meanwhile must
    // find the socket (it waits in the backlog for the next round). The umask is
    // the process's: the socket is made private before it listens.
    struct stat bound_file;
    bool served = false;
    std::string error;
    const int fd = ListenFresh(path, false, &bound_file, &served, &error);
    if (fd >= 0) NoteBound(bound_file);
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd >= 0) {
        // One that no round took up has gone from the path by now.
        if (bound_fd_ >= 0) close(bound_fd_);
        bound_fd_ = fd;
    }
    rebind_ = true;
    if (loop_ != nullptr) loop_->Stop();
    changed_.notify_all();
    return true;
}

void ThriftUnixServer::KeepLockFile() {
    const std::string& data_dir = g_conf.tendwell().data_dir();
    struct stat st;
    // The state file lives there: the keeper writes it again once it exists.
    if (!data_dir.empty() && stat(data_dir.c_str(), &st) != 0 && CheckDataDir(data_dir)) {
        TW_WARNING("KeepFiles", "data_dir %s was gone, made again", data_dir.c_str());
    }
    KeepStateFileFolder(g_conf);
    std::string path;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (lock_ == nullptr || lock_->HeldHere()) return;
        path = lock_->path();
    }
    auto fresh = std::make_unique<InstanceLock>(path);
    const InstanceLock::Owner owner = fresh->Retake();
    if (owner == InstanceLock::kNobody) {
        TW_WARNING("KeepFiles", "lock file %s was gone or replaced, locked again", path.c_str());
        std::lock_guard<std::mutex> lock(mutex_);
        lock_->Forsake();
        lock_ = std::move(fresh);
        reported_hold_.clear();
        return;
    }
    // A command's moment passes by the next look.
    if (owner == InstanceLock::kCommand) return;
    const std::string hold =
        owner == InstanceLock::kUnusable
            ? fresh->why()
            : "lock file " + path + " is held by another process (pid " +
                  std::to_string(fresh->HolderPid()) + ")";
    // Said once for as long as it lasts.
    if (hold == reported_hold_) return;
    reported_hold_ = hold;
    TW_WARNING("KeepFiles", "%s: keep the tendlets and the socket, and lock it once it is free",
               hold.c_str());
}

void ThriftUnixServer::Stop() {
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    if (loop_ != nullptr) loop_->Stop();
    changed_.notify_all();
    // A round still setting up binds its socket only now: wait until it has
    // ended, so that its socket goes before the lock file does.
    changed_.wait(lock, [this] { return !serving_; });
    std::string path = socket_path_;
    const bool lock_ours = lock_ == nullptr || lock_->HeldHere();
    lock.unlock();
    // Files that another daemon has made in their place are its own.
    if (!path.empty() && SocketHere()) RemoveSocketAt(path);
    if (lock_ours) RemoveLockFile();
}

std::string ThriftUnixServer::Unservable(const std::string& path) {
    const std::string dir = DirectoryOf(path);
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) return dir + ": " + strerror(errno);
    if (!S_ISDIR(st.st_mode)) return dir + " is not a directory";
    if (lstat(path.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode)) return NotSocketText(path);
    return std::string();
}

std::string ThriftUnixServer::LockPath() {
    GenerateSocketPath();
    return LockFilePath(GetSocketPath());
}

bool ThriftUnixServer::IsLocked() {
    // A command's hold, or another probe's moment, is waited out: only then can
    // the lock tell whether a daemon holds it.
    const int wait_ms = SecondsToMs<int32_t>(g_conf.cmd_operate_timeout_sec());
    return InstanceLock(LockPath()).AwaitServed(wait_ms, GetSocketPath()) ==
           InstanceLock::kDaemon;
}

bool ThriftUnixServer::LockFile() {
    const std::string lock_path = LockPath();
    if (lock_path.empty()) {
        TW_WARNING("LockFile", "no socket path, no lock file");
        return false;
    }
    auto lock = std::make_unique<InstanceLock>(lock_path);
    if (!lock->TakeForDaemon(SecondsToMs<int32_t>(g_conf.cmd_operate_timeout_sec()))) return false;
    std::lock_guard<std::mutex> guard(mutex_);
    lock_ = std::move(lock);
    return true;
}

void ThriftUnixServer::RemoveLockFile() { InstanceLock(LockPath()).Remove(); }

}  // namespace tendwell
