#include "tendwell_unix_server.h"

#include <errno.h>
#include <sched.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <exception>

#include <thrift/concurrency/ThreadFactory.h>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/server/TServer.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TServerSocket.h>
#include <thrift/transport/TTransportException.h>

#include "corvel/clock.h"
#include "tendwell/protocal/TSlaveServiceProtocol.h"
#include "tendwell_configure.h"
#include "tendwell_slave_service_handler.h"
#include "tendwell_unix_rpc_manager.h"
#include "tendwell_utility.h"

namespace tendwell {

using apache::thrift::TProcessor;
using apache::thrift::concurrency::ThreadFactory;
using apache::thrift::concurrency::ThreadManager;
using apache::thrift::protocol::TBinaryProtocolFactoryT;
using apache::thrift::server::TServerEventHandler;
using apache::thrift::server::TThreadPoolServer;
using apache::thrift::transport::TFramedTransport;
using apache::thrift::transport::TFramedTransportFactory;
using apache::thrift::transport::TServerSocket;
using apache::thrift::transport::TTransport;
using apache::thrift::transport::TTransportException;

namespace {

const int kWorkerThreads = 3;
// Every request and reply of the control service is far below this; a frame
// announcing more drops its connection before anything is allocated for it.
const int32_t kMaxFrameSize = 1 << 20;
// Attempts to lock a lock file that a concurrent probe keeps replacing.
const int kLockAttempts = 10;
const int kLockRetryMs = 20;

class BoundedFramedTransportFactory : public TFramedTransportFactory {
public:
    std::shared_ptr<TTransport> getTransport(std::shared_ptr<TTransport> trans) override {
        auto framed = std::make_shared<TFramedTransport>(trans);
        framed->setMaxFrameSize(kMaxFrameSize);
        return framed;
    }
};

// True when the listening descriptor got its file-system name (bind succeeded).
bool IsBound(int fd) {
    struct sockaddr_un addr;
    socklen_t len = sizeof(addr);
    if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0) return false;
    return len > offsetof(struct sockaddr_un, sun_path) && addr.sun_path[0] != '\0';
}

// True when path names the file open at fd.
bool IsFileAt(int fd, const std::string& path) {
    struct stat open_file, named_file;
    if (fstat(fd, &open_file) != 0 || stat(path.c_str(), &named_file) != 0) return false;
    return open_file.st_dev == named_file.st_dev && open_file.st_ino == named_file.st_ino;
}

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

[[noreturn]] void GiveUpServing() {
    TW_FATAL("Monitor", "cann't start monitor server, break..");
    _exit(1);
}

}  // namespace

// Tells the server that its socket listens, which lets the daemon start its tendlets.
class ListenReporter : public TServerEventHandler {
public:
    void preServe() override { ThriftUnixServer::GetInstance()->OnListening(); }
};

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

void ThriftUnixServer::RemoveSocketFile() {
    GenerateSocketPath();
    std::string path = GetSocketPath();
    int ret = RemoveSocketAt(path);
    TW_NOTICE("RemoveSocketFile", "remove socket file:%s return:%d errno:%d", path.c_str(), ret,
              errno);
}

int ThriftUnixServer::Run() {
    GenerateSocketPath();
    std::string path = GetSocketPath();
    TW_NOTICE("ThriftUnixServer", "begin to monito on %s..", path.c_str());
    if (path.empty()) {
        // Thrift takes an empty path as TCP on every interface, with no access control.
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
    for (;;) {
        std::string error;
        bool listened = ServeOnce(processor, path, private_umask, &error);
        if (!error.empty() && !listened && !ever_listened) {
            TW_FATAL("Monitor", "serve %s fail: %s", path.c_str(), error.c_str());
            GiveUpServing();
        }
        ever_listened = ever_listened || listened;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) break;
        }
        // Thrift leaves serve on its own after an accept error (too many open
        // files, say): a daemon that holds the lock must not stay unreachable.
        int ret = RemoveSocketAt(path);
        TW_NOTICE("Run", "remove socket file:%s return:%d errno:%d", path.c_str(), ret, errno);
        TW_WARNING("Run", "server left serving (%s), serve again in a second",
                   error.empty() ? "accept failed" : error.c_str());
        PauseUnlessStopping(1000);
    }
    // Stop has removed the socket before the lock file: removing the path again
    // here could take the socket of a daemon started since.
    TW_NOTICE("Monitor", "begin to stop ...");
    return 0;
}

bool ThriftUnixServer::ServeOnce(const std::shared_ptr<TProcessor>& processor,
                                 const std::string& path, bool private_umask,
                                 std::string* error) {
    mode_t saved_umask = 0;
    auto server_socket = std::make_shared<TServerSocket>(path);
    // Runs between bind and listen, so no client can connect before the mode is set.
    server_socket->setListenCallback([&](THRIFT_SOCKET fd) {
        if (private_umask) umask(saved_umask);
        if (!IsBound(fd)) return;  // Thrift reports the failed bind itself
        if (chmod(path.c_str(), 0600) != 0) {
            throw TTransportException(TTransportException::NOT_OPEN, "chmod 0600 of the socket",
                                      errno);
        }
    });
    std::shared_ptr<TThreadPoolServer> server;
    std::shared_ptr<ThreadManager> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return false;
        serving_ = true;
        workers = ThreadManager::newSimpleThreadManager(kWorkerThreads, 0);
        workers->threadFactory(std::make_shared<ThreadFactory>(true));
        workers->start();
        server = std::make_shared<TThreadPoolServer>(
            processor, server_socket, std::make_shared<BoundedFramedTransportFactory>(),
            // No string or container can be longer than the frame that holds it:
            // a larger announced size is refused before anything is allocated.
            std::make_shared<TBinaryProtocolFactoryT<TTransport>>(kMaxFrameSize, kMaxFrameSize,
                                                                  false, true),
            workers);
        server->setServerEventHandler(std::make_shared<ListenReporter>());
        server_ = server;
        worker_manager_ = workers;
    }
    if (private_umask) saved_umask = umask(0177);
    TW_NOTICE("Run", "begin to run thrift server...");
    try {
        server->serve();
    } catch (const std::exception& e) {
        *error = e.what();
        TW_WARNING("Run", "serve %s: %s", path.c_str(), e.what());
    }
    if (private_umask) umask(saved_umask);
    // serve leaves the workers running when it fails before accepting.
    workers->stop();
    server_socket->close();
    std::lock_guard<std::mutex> lock(mutex_);
    bool listened = listening_;
    listening_ = false;
    serving_ = false;
    server_.reset();
    worker_manager_.reset();
    changed_.notify_all();
    return listened;
}

void ThriftUnixServer::OnListening() {
    std::lock_guard<std::mutex> lock(mutex_);
    listening_ = true;
    // A stop that came while the socket was being set up ends serve at once.
    if (stopping_) server_->stop();
    changed_.notify_all();
}

bool ThriftUnixServer::WaitListening(int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [this] { return listening_ || stopping_; });
    return listening_;
}

void ThriftUnixServer::PauseUnlessStopping(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

void ThriftUnixServer::Stop() {
    std::shared_ptr<TThreadPoolServer> server;
    std::shared_ptr<ThreadManager> workers;
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    // Before it listens the server cannot be interrupted; OnListening stops it then.
    if (listening_) server = server_;
    workers = worker_manager_;
    changed_.notify_all();
    lock.unlock();
    if (server) server->stop();
    if (workers) workers->stop();
    // A round still setting up binds its socket only now: wait until it has
    // ended, so that its socket goes before the lock file does.
    lock.lock();
    changed_.wait(lock, [this] { return !serving_; });
    std::string path = socket_path_;
    lock.unlock();
    if (!path.empty()) RemoveSocketAt(path);
    RemoveLockFile();
}

std::string ThriftUnixServer::Unservable(const std::string& path) {
    const size_t slash = path.rfind('/');
    // The root keeps its slash.
    const std::string dir =
        slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) return dir + ": " + strerror(errno);
    if (!S_ISDIR(st.st_mode)) return dir + " is not a directory";
    if (lstat(path.c_str(), &st) == 0 && !S_ISSOCK(st.st_mode)) return path + " is not a socket";
    return std::string();
}

std::string ThriftUnixServer::LockPath() {
    GenerateSocketPath();
    return LockFilePath(GetSocketPath());
}

bool ThriftUnixServer::IsLocked() {
    std::string lock_path = LockPath();
    return !lock_path.empty() && CheckiSocketFileListen(lock_path);
}

bool ThriftUnixServer::LockFile() { return LockFileAt(LockPath()); }

void ThriftUnixServer::RemoveLockFile() { RemoveLockFileAt(LockPath()); }

bool ThriftUnixServer::LockFileAt(const std::string& lock_path) {
    if (lock_path.empty()) {
        TW_WARNING("LockFile", "no socket path, no lock file");
        return false;
    }
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        int fd = -1;
        int code = OpenAndLock(lock_path, &fd);
        if (code == 1 && attempt + 1 < kLockAttempts) {
            // A probe that finds the lock file unlocked holds the lock for a moment
            // while it removes the file: only a lock held on would mean a daemon.
            TW_WARNING("LockFile", "%s is held, try again", lock_path.c_str());
            close(fd);  // this process holds no lock on that file
            corvel::sleep_ms(kLockRetryMs);
            continue;
        }
        if (code != 0) {
            TW_WARNING("LockFile", "lock %s fail, ret:%d", lock_path.c_str(), code);
            return false;
        }
        // A probe that found the file unlocked may have removed it between our
        // open and our lock: the lock then guards nothing another daemon can see.
        if (IsFileAt(fd, lock_path)) {
            TW_NOTICE("LockFile", "%s locked..", lock_path.c_str());
            return true;
        }
        TW_WARNING("LockFile", "%s was replaced while locking, lock again", lock_path.c_str());
    }
    TW_WARNING("LockFile", "lock %s fail, it keeps being replaced", lock_path.c_str());
    return false;
}

void ThriftUnixServer::RemoveLockFileAt(const std::string& lock_path) {
    if (lock_path.empty()) return;
    unlink(lock_path.c_str());
    TW_NOTICE("RemoveLockFile", "%s remove..", lock_path.c_str());
}

}  // namespace tendwell
