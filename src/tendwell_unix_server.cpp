#include "tendwell_unix_server.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <exception>
#include <memory>

#include "corvel/clock.h"
#include "instance/tendwell_instance_holder.h"
#include "instance/tendwell_lock_table.h"
#include "instance/tendwell_socket_state.h"
#include "tendwell/protocal/TSlaveServiceProtocol.h"
#include "tendwell_configure.h"
#include "tendwell_request_loop.h"
#include "tendwell_slave_service_handler.h"
#include "tendwell_unix_rpc_manager.h"
#include "tendwell_utility.h"

namespace tendwell {

namespace {

constexpr int kListenBacklog = 1024;

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

// Why the socket path cannot be taken now, or an empty string once it is free: a
// socket nobody listens on any more (an earlier daemon's) is removed. Whatever
// else stands there keeps the path taken.
std::string FreePath(const std::string& path) {
    pid_t listener = 0;
    switch (LookAtSocket(path, &listener)) {
    case SocketState::kNotSocket:
        return NotSocketText(path);
    case SocketState::kListening:
        return "served by process " + std::to_string(listener);
    case SocketState::kStale: {
        const int ret = RemoveSocketAt(path);
        TW_NOTICE("RemoveSocketFile", "remove socket file:%s return:%d errno:%d", path.c_str(),
                  ret, errno);
        break;
    }
    case SocketState::kAbsent:
        break;
    }
    return std::string();
}

// A name for a socket while it is made, unique to this making: no other making,
// of this process or another that shares the folder, ever meets it.
std::string TemporaryName() {
    uint64_t random = 0;
    // Without entropy yet, the clock's nanoseconds serve as well for a name.
    if (getrandom(&random, sizeof(random), GRND_NONBLOCK) != sizeof(random)) {
        random = corvel::monotonic_ns();
    }
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (int shift = 60; shift >= 0; shift -= 4) hex += kHex[(random >> shift) & 0xf];
    return ".tendwell-" + std::to_string(getpid()) + "-" + hex + ".sock";
}

// A non-blocking socket listening at path, where the path is free; *bound_file
// describes it. It is bound under a name of this making's own in the same
// directory, made private (0600) and listening, and only then linked to path,
// which fails where anything stands: a socket at the path always listens, and no
// other user can ever connect. -1 with *error when it cannot be made.
int MakeSocket(const std::string& path, struct stat* bound_file, std::string* error) {
    *error = FreePath(path);
    if (!error->empty()) return -1;
    const std::string dir = DirectoryOf(path);
    const std::string name = path.substr(path.rfind('/') + 1);
    const int dir_fd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) {
        *error = dir + ": " + strerror(errno);
        return -1;
    }
    const std::string temp = TemporaryName();
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    // The name bound is what the system shows of the socket. Where the directory's
    // path leaves no room for it, it is reached through the directory's descriptor.
    std::string bound_name = dir + "/" + temp;
    if (bound_name.size() >= sizeof(addr.sun_path)) {
        bound_name = "/proc/self/fd/" + std::to_string(dir_fd) + "/" + temp;
    }
    memcpy(addr.sun_path, bound_name.c_str(), bound_name.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + strerror(errno);
        close(dir_fd);
        return -1;
    }
    const char* failed = nullptr;
    // Only a name this call bound is ever removed: whatever else stands there is
    // another's.
    const bool bound = bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0;
    if (!bound) {
        failed = "bind";
    } else if (fchmodat(dir_fd, temp.c_str(), 0600, 0) != 0) {
        failed = "chmod 0600 of the socket";
    } else if (listen(fd, kListenBacklog) != 0) {
        failed = "listen";
    } else if (fstatat(dir_fd, temp.c_str(), bound_file, AT_SYMLINK_NOFOLLOW) != 0) {
        failed = "stat of the socket";
    } else if (linkat(dir_fd, temp.c_str(), dir_fd, name.c_str(), 0) != 0) {
        // EEXIST: taken since the look, which tells by what the next time.
        failed = "link to the socket path";
    }
    if (failed != nullptr) *error = std::string(failed) + ": " + strerror(errno);
    if (bound) unlinkat(dir_fd, temp.c_str(), 0);
    close(dir_fd);
    if (failed == nullptr) return fd;
    close(fd);
    return -1;
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

InstanceClaim& ThriftUnixServer::Claim() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (claim_ == nullptr) {
        claim_ = std::make_unique<InstanceClaim>(g_conf.tendwell().unix_socket_path());
    }
    return *claim_;
}

void ThriftUnixServer::Bind() {
    GenerateSocketPath();
    const std::string path = GetSocketPath();
    struct stat bound_file;
    std::string error;
    const int fd = MakeSocket(path, &bound_file, &error);
    if (fd < 0) {
        TW_FATAL("Monitor", "serve %s fail: %s", path.c_str(), error.c_str());
        GiveUpServing();
    }
    Hand(fd, bound_file);
}

void ThriftUnixServer::Hand(int fd, const struct stat& bound_file) {
    std::lock_guard<std::mutex> lock(mutex_);
    bound_ = true;
    socket_dev_ = bound_file.st_dev;
    socket_ino_ = bound_file.st_ino;
    if (loop_ != nullptr) {
        loop_->TakeListener(fd);
        return;
    }
    // One that no round took up has gone from the path by now.
    if (bound_fd_ >= 0) close(bound_fd_);
    bound_fd_ = fd;
    changed_.notify_all();
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
    auto processor =
        std::make_shared<TSlaveServiceProtocolProcessor>(std::make_shared<SlaveServiceHandler>());
    bool ever_listened = false;
    // What kept the last round from serving, logged once while it lasts.
    std::string reported;
    for (;;) {
        std::string error;
        const bool listened = ServeOnce(processor, &error);
        if (!listened && !ever_listened && !error.empty()) {
            TW_FATAL("Monitor", "serve %s fail: %s", path.c_str(), error.c_str());
            GiveUpServing();
        }
        ever_listened = ever_listened || listened;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) break;
        }
        // A daemon must not stay unreachable: a socket no round serves goes, and the
        // main loop's look makes a new one.
        if (SocketHere()) {
            int ret = RemoveSocketAt(path);
            TW_NOTICE("Run", "remove socket file:%s return:%d errno:%d", path.c_str(), ret, errno);
        }
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
                                 std::string* error) {
    std::unique_ptr<RequestLoop> loop;
    try {
        loop = std::make_unique<RequestLoop>(processor, RequestLoop::Limits());
    } catch (const std::exception& e) {
        // No worker thread could be made.
        *error = e.what();
        return false;
    }
    int listen_fd;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return stopping_ || bound_fd_ >= 0; });
        if (stopping_) return false;
        listen_fd = bound_fd_;
        bound_fd_ = -1;
        loop_ = loop.get();
        listening_ = true;
        changed_.notify_all();
    }
    TW_NOTICE("Run", "begin to run thrift server...");
    *error = loop->Serve(listen_fd);
    std::lock_guard<std::mutex> lock(mutex_);
    // The loop ends with this scope: nothing may hand it a socket from here on.
    loop_ = nullptr;
    listening_ = false;
    changed_.notify_all();
    return true;
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
    return lock_ != nullptr && lock_->HeldHere() && SocketHereLocked() &&
           (state_lock_ == nullptr || state_lock_->HeldHere());
}

void ThriftUnixServer::KeepSocket() {
    if (SocketHere()) return;
    const std::string path = GetSocketPath();
    struct stat bound_file;
    std::string error;
    const int fd = MakeSocket(path, &bound_file, &error);
    if (fd < 0) {
        // Said once for as long as it lasts; the path is taken again once it is free.
        if (error != reported_socket_) {
            TW_WARNING("KeepFiles", "socket %s can't be served again: %s", path.c_str(),
                       error.c_str());
            reported_socket_ = error;
        }
        return;
    }
    reported_socket_.clear();
    TW_WARNING("KeepFiles", "socket %s was gone, serve it again", path.c_str());
    // The round that serves the old socket takes this one too, keeping its clients.
    Hand(fd, bound_file);
}

void ThriftUnixServer::KeepLockFile() {
    const std::string& data_dir = g_conf.tendwell().data_dir();
    struct stat st;
    // The state file lives there: the keeper writes it again once it exists.
    if (!data_dir.empty() && stat(data_dir.c_str(), &st) != 0 && CheckDataDir(data_dir)) {
        TW_WARNING("KeepFiles", "data_dir %s was gone, made again", data_dir.c_str());
    }
    KeepStateFileFolder(g_conf);
    KeepStateLock();
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
    ReportHold(owner == InstanceLock::kUnusable
                   ? fresh->why()
                   : "lock file " + path + " is held by another process (pid " +
                         std::to_string(fresh->HolderPid()) + ")");
}

void ThriftUnixServer::KeepClaim() {
    InstanceClaim& claim = Claim();
    if (claim.squatters().empty()) return;
    for (const std::string& name : claim.TakeMissing()) {
        TW_WARNING("KeepFiles", "claim %s of %s is free again, taken", name.c_str(),
                   GetSocketPath().c_str());
    }
}

void ThriftUnixServer::ReportHold(const std::string& hold) {
    if (hold == reported_hold_) return;
    reported_hold_ = hold;
    TW_WARNING("KeepFiles", "%s: keep the tendlets and the socket, and lock it once it is free",
               hold.c_str());
}

void ThriftUnixServer::KeepStateLock() {
    StateLock* state;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        state = state_lock_.get();
    }
    if (state == nullptr || state->HeldHere()) {
        unknown_keeper_since_ns_ = 0;
        return;
    }
    pid_t keeper;
    std::string why;
    switch (state->Take(&keeper, &why)) {
    case StateLock::kHeld:
        TW_WARNING("KeepFiles", "state file lock %s was gone or replaced, locked again",
                   state->path().c_str());
        reported_keeper_.clear();
        unknown_keeper_since_ns_ = 0;
        return;
    case StateLock::kMissing:
        // Its folder is made again at the next look.
        return;
    case StateLock::kKept:
        break;
    default:
        // Said once for as long as it lasts; the hold of the file that was there is
        // kept meanwhile.
        ReportKeeper(why);
        return;
    }
    // Two keepers of one state file: the younger gives way, since the older one
    // keeps what it started; a younger one stands down by the same rule.
    const int age = CompareAges(getpid(), keeper);
    const std::string kept = state->KeptText(keeper);
    if (age < 0) {
        ReportKeeper(kept + "; it is younger, and gives way");
        return;
    }
    // One whose age cannot be told gives way only if it stays a second.
    const uint64_t now_ns = corvel::monotonic_ns();
    if (age == 0 && (unknown_keeper_since_ns_ == 0 ||
                     now_ns - unknown_keeper_since_ns_ < kUnknownAgeMs * 1000000ULL)) {
        if (unknown_keeper_since_ns_ == 0) unknown_keeper_since_ns_ = now_ns;
        ReportKeeper(kept);
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    supplanted_ = kept;
}

void ThriftUnixServer::ReportKeeper(const std::string& kept) {
    if (kept == reported_keeper_) return;
    reported_keeper_ = kept;
    TW_FATAL("KeepFiles", "%s", kept.c_str());
}

std::string ThriftUnixServer::Supplanted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return supplanted_;
}

void ThriftUnixServer::Stop() {
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    if (loop_ != nullptr) loop_->Stop();
    changed_.notify_all();
    // The round serving now closes its sockets as it ends: wait for it, so that
    // the socket goes before the claim and the lock file do.
    changed_.wait(lock, [this] { return loop_ == nullptr; });
    if (bound_fd_ >= 0) close(bound_fd_);
    bound_fd_ = -1;
    std::string path = socket_path_;
    const bool lock_ours = lock_ == nullptr || lock_->HeldHere();
    lock.unlock();
    // Files that another process has made in their place are its own.
    if (!path.empty() && SocketHere()) RemoveSocketAt(path);
    if (lock_ours) RemoveLockFile();
    // The keeper is shut down by now: the state file is the next keeper's.
    if (state_lock_ != nullptr) state_lock_->Release();
    // Last: whoever finds the claim free finds every file of the instance free too.
    if (claim_ != nullptr) claim_->Release();
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
    const int wait_ms = SecondsToMs<int32_t>(g_conf.cmd_operate_timeout_sec());
    return FindInstanceHolder(g_conf, wait_ms).kind == InstanceHolder::kDaemon;
}

bool ThriftUnixServer::LockFile() {
    const std::string lock_path = LockPath();
    if (lock_path.empty()) {
        TW_WARNING("LockFile", "no socket path, no lock file");
        return false;
    }
    auto lock = std::make_unique<InstanceLock>(lock_path);
    if (!lock->TakeForDaemon(SecondsToMs<int32_t>(g_conf.cmd_operate_timeout_sec()))) {
        // A program that holds the lock file in a daemon's place keeps no daemon off:
        // this process holds the claim. The lock is taken once it is free.
        InstanceClaim& claim = Claim();
        OwnHolds own;
        own.claim = &claim;
        const InstanceHolder holder = FindInstanceHolder(g_conf, 0, own);
        // Without a name of the claim the lock file is the only guard.
        if (holder.kind != InstanceHolder::kOther || !claim.holding()) return false;
        ReportHold("lock file " + lock_path + " is held by another process (pid " +
                   std::to_string(holder.pid) + ")");
    }
    std::lock_guard<std::mutex> guard(mutex_);
    lock_ = std::move(lock);
    return true;
}

bool ThriftUnixServer::LockStateFile() {
    auto state = std::make_unique<StateLock>(g_conf);
    pid_t keeper;
    std::string why;
    StateLock::Status took = state->Take(&keeper, &why);
    if (took == StateLock::kMissing) {
        // Its folder went since the start made it: made again, as the look does.
        CheckDataDir(g_conf.tendwell().data_dir());
        KeepStateFileFolder(g_conf);
        took = state->Take(&keeper, &why);
    }
    switch (took) {
    case StateLock::kHeld:
        TW_NOTICE("LockFile", "%s locked..", state->path().c_str());
        break;
    case StateLock::kUnguarded:
        TW_WARNING("LockFile", "%s", why.c_str());
        break;
    case StateLock::kKept:
        TW_FATAL("LockFile", "%s", state->KeptText(keeper).c_str());
        return false;
    default:
        if (took == StateLock::kMissing) why = "lock file " + state->path() + " can't be made";
        TW_FATAL("LockFile", "%s", why.c_str());
        return false;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    state_lock_ = std::move(state);
    return true;
}

void ThriftUnixServer::RemoveLockFile() { InstanceLock(LockPath()).Remove(); }

}  // namespace tendwell
