// The control service end to end: a real daemon, real client calls, real tendlets.
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <random>
#include <set>
#include <sstream>

#include <thrift/TApplicationException.h>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TSocket.h>

#include "corvel/fd_io.h"
#include "daemon_fixture.h"
#include "instance/tendwell_instance_claim.h"
#include "tendwell_utility.h"

using namespace tendwell;
using testutil::FileExists;
using testutil::PidAlive;
using testutil::WaitFor;

namespace {

// A raw connection to a Unix-domain socket; -1 when it cannot connect.
int ConnectRaw(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Shuts the daemon's listening socket down through a duplicate of its
// descriptor: its accept then fails as it does when descriptors run out (which
// cannot be provoked here: the sanitizers need descriptors of their own).
bool ShutDownListener(pid_t daemon) {
    // The daemon listens on its control socket and on its claim, whose name is
    // abstract (shown with "@").
    std::istringstream table(testutil::ReadFile("/proc/net/unix"));
    std::set<std::string> listening;
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string num, refs, protocol, flags, type, state, ino, name;
        fields >> num >> refs >> protocol >> flags >> type >> state >> ino >> name;
        if (flags == "00010000" && !name.empty() && name[0] != '@') listening.insert(ino);
    }
    std::string fd_dir = "/proc/" + std::to_string(daemon) + "/fd";
    DIR* dir = opendir(fd_dir.c_str());
    int target = -1;
    while (struct dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
        char link[64] = {};
        std::string fd_path = fd_dir + "/" + entry->d_name;
        if (readlink(fd_path.c_str(), link, sizeof(link) - 1) <= 0) continue;
        for (const std::string& inode : listening) {
            if (link == "socket:[" + inode + "]") target = atoi(entry->d_name);
        }
    }
    if (dir != nullptr) closedir(dir);
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, daemon, 0));
    int fd = target < 0 || pidfd < 0 ? -1 : static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, target, 0));
    bool done = fd >= 0 && shutdown(fd, SHUT_RDWR) == 0;
    if (fd >= 0) close(fd);
    if (pidfd >= 0) close(pidfd);
    return done;
}

std::string Be32(uint32_t v) {
    const char bytes[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    return std::string(bytes, 4);
}

// A message of the given type calling name, whose argument structure is args.
std::string Message(const std::string& name, uint32_t type, const std::string& args) {
    return Be32(0x80010000u | type) + Be32(name.size()) + name + Be32(1) + args;
}

// A check call in its frame.
std::string CheckFrame() {
    const std::string call =
        Message("check", 1, std::string("\x08\x00\x01", 3) + Be32(30) + '\0');
    return Be32(call.size()) + call;
}

// The code of the check answer that comes on fd within ten seconds; -1 for none.
int CheckAnswer(int fd) {
    unsigned char header[4];
    if (corvel::read_all(fd, header, sizeof(header), 10000) != 4) return -1;
    std::string body((header[0] << 24) | (header[1] << 16) | (header[2] << 8) | header[3], '\0');
    if (corvel::read_all(fd, &body[0], body.size(), 10000) != ssize_t(body.size())) return -1;
    auto buffer = std::make_shared<apache::thrift::transport::TMemoryBuffer>(
        reinterpret_cast<uint8_t*>(&body[0]), static_cast<uint32_t>(body.size()));
    TSlaveServiceProtocolClient client(
        std::make_shared<apache::thrift::protocol::TBinaryProtocol>(buffer));
    TTendletStatusResponse response;
    try {
        client.recv_check(response);
    } catch (const std::exception&) {
        return -1;
    }
    return response.returnInfo.returnCode;
}

// True once the other end has closed fd.
bool ClosedByPeer(int fd) {
    char byte;
    return recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
}

// A connection to the abstract socket name, which the caller closes; -1 when
// none can be made.
int ConnectAbstract(const std::string& name) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path + 1, name.data(), name.size());
    const socklen_t len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 +
                                                 name.size());
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), len) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Nanoseconds the threads of process pid have run.
uint64_t CpuNs(pid_t pid) {
    uint64_t total = 0;
    const std::string task_dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(task_dir.c_str());
    while (struct dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
        if (entry->d_name[0] == '.') continue;
        total += strtoull(
            testutil::ReadFile(task_dir + "/" + entry->d_name + "/schedstat").c_str(), nullptr, 10);
    }
    if (dir != nullptr) closedir(dir);
    return total;
}

size_t OpenDescriptors(pid_t pid) {
    size_t count = 0;
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    while (dir != nullptr && readdir(dir) != nullptr) ++count;
    if (dir != nullptr) closedir(dir);
    return count;
}

// Threads that look at every name of the claim of a socket path as fast as they
// can, each connecting and closing at once, until the object goes. Looks that
// find the queue full count too.
class ClaimFlood {
public:
    explicit ClaimFlood(const std::string& socket_path) {
        const std::vector<std::string> names = tendwell::InstanceClaim(socket_path).names();
        for (int i = 0; i < 4; ++i) {
            threads_.emplace_back([this, names] {
                while (!done_.load()) {
                    for (const std::string& name : names) {
                        const int fd = ConnectAbstract(name);
                        if (fd >= 0) close(fd);
                        ++looks_;
                    }
                }
            });
        }
    }
    ~ClaimFlood() {
        done_.store(true);
        for (std::thread& thread : threads_) thread.join();
    }
    ClaimFlood(const ClaimFlood&) = delete;
    ClaimFlood& operator=(const ClaimFlood&) = delete;

    size_t looks() const { return looks_.load(); }

private:
    std::atomic<bool> done_{false};
    std::atomic<size_t> looks_{0};
    std::vector<std::thread> threads_;
};

// Sends a byte to each client every half second for ms: requests that never end
// keep their connections, and so the daemon's descriptors, taken.
void KeepSending(const std::vector<int>& clients, int ms) {
    for (int i = 0; i < ms / 500; ++i) {
        for (int fd : clients) send(fd, "x", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
}

}  // namespace

TEST_F(DaemonTest, SocketIsPrivateFromItsFirstAppearance) {
    StartDaemon();
    struct stat st;
    ASSERT_TRUE(WaitFor([&] { return lstat(socket_.c_str(), &st) == 0; }, 10000, 1));
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(WaitAllRunning());
    ASSERT_EQ(lstat(socket_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(DaemonTest, EveryCallAnswersWithTheManagersCodes) {
    StartDaemon();
    ASSERT_TRUE(WaitAllRunning());
    // Every client log line is formatted too (no log is open: they go to stderr).
    SetLogLevel(kLogDebug);
    UnixRpcManager client(socket_.c_str());
    struct Call {
        const char* what;
        std::function<int()> run;
        int code;
    };
    auto result = [&](void (UnixRpcManager::*op)(TReturnResult&, int32_t)) {
        return [&client, op] {
            TReturnResult r;
            (client.*op)(r, 30);
            return static_cast<int>(r.returnCode);
        };
    };
    auto named = [&](void (UnixRpcManager::*op)(TReturnResult&, const std::string&, int32_t),
                     std::string name) {
        return [&client, op, name] {
            TReturnResult r;
            (client.*op)(r, name, 30);
            return static_cast<int>(r.returnCode);
        };
    };
    auto check_one = [&](std::string name, size_t expected_records) {
        return [&client, name, expected_records] {
            TTendletStatusResponse r;
            client.CheckOne(r, name, 30);
            EXPECT_EQ(r.statusInfo.size(), expected_records) << name;
            return static_cast<int>(r.returnInfo.returnCode);
        };
    };
    const Call calls[] = {
        {"start", result(&UnixRpcManager::Start), 0},
        {"reload", result(&UnixRpcManager::Reload), 0},
        {"restart", result(&UnixRpcManager::Restart), 0},
        {"checkOne a", check_one("a", 1), 0},
        {"checkOne zz", check_one("zz", 0), 22},
        {"startOne zz", named(&UnixRpcManager::StartOne, "zz"), 22},
        {"stopOne zz", named(&UnixRpcManager::StopOne, "zz"), 22},
        {"reloadOne zz", named(&UnixRpcManager::ReloadOne, "zz"), 22},
        {"restartOne zz", named(&UnixRpcManager::RestartOne, "zz"), 22},
        {"reloadOne b", named(&UnixRpcManager::ReloadOne, "b"), 0},
        {"stopOne a", named(&UnixRpcManager::StopOne, "a"), 0},
        {"restartOne a (stopped)", named(&UnixRpcManager::RestartOne, "a"), 25},
        {"startOne a", named(&UnixRpcManager::StartOne, "a"), 0},
    };
    for (const Call& call : calls) EXPECT_EQ(call.run(), call.code) << call.what;
    EXPECT_TRUE(WaitAllRunning());
    TTendletStatusResponse all;
    client.Check(all, 30);
    ASSERT_EQ(all.statusInfo.size(), 2u);
    EXPECT_EQ(all.statusInfo[0].name, "a");
    EXPECT_EQ(all.statusInfo[1].name, "b");
}

TEST_F(DaemonTest, UnknownMethodLeavesTheConnectionUsable) {
    using namespace apache::thrift;
    StartDaemon();
    ASSERT_TRUE(WaitAllRunning());
    auto socket = std::make_shared<transport::TSocket>(socket_);
    auto framed = std::make_shared<transport::TFramedTransport>(socket);
    auto proto = std::make_shared<protocol::TBinaryProtocol>(framed);
    framed->open();
    proto->writeMessageBegin("status", protocol::T_CALL, 7);
    proto->writeStructBegin("status_args");
    proto->writeFieldStop();
    proto->writeStructEnd();
    proto->writeMessageEnd();
    framed->writeEnd();
    framed->flush();
    std::string name;
    protocol::TMessageType type;
    int32_t seqid = 0;
    proto->readMessageBegin(name, type, seqid);
    TApplicationException error;
    error.read(proto.get());
    proto->readMessageEnd();
    framed->readEnd();
    EXPECT_EQ(type, protocol::T_EXCEPTION);
    EXPECT_EQ(seqid, 7);
    EXPECT_EQ(error.getType(), TApplicationException::UNKNOWN_METHOD);
    EXPECT_STREQ(error.what(), "Invalid method name: 'status'");
    TSlaveServiceProtocolClient same_connection(proto);
    TTendletStatusResponse response;
    same_connection.check(response, 30);
    EXPECT_EQ(response.returnInfo.returnCode, 0);
    EXPECT_EQ(response.statusInfo.size(), 2u);
}

TEST_F(DaemonTest, RemoteStopEndsTendletsAndDaemon) {
    pid_t daemon = StartDaemon();
    ASSERT_TRUE(WaitAllRunning());
    pid_t a = TendletPid("a"), b = TendletPid("b");
    TReturnResult result;
    UnixRpcManager(socket_.c_str()).Stop(result, 30);
    EXPECT_EQ(result.returnCode, 0);
    EXPECT_EQ(result.returnMsg, "OK");
    EXPECT_TRUE(WaitTendletsGone(a, b));
    ExpectDaemonEnded(daemon, 10000);
}

TEST_F(DaemonTest, RemoteAbortLeavesTendletsToTheNextDaemon) {
    testutil::BecomeSubreaper();
    pid_t daemon = StartDaemon();
    ASSERT_TRUE(WaitAllRunning());
    pid_t a = TendletPid("a"), b = TendletPid("b");
    TReturnResult result;
    UnixRpcManager(socket_.c_str()).Abort(result, 30);
    EXPECT_EQ(result.returnCode, 0);
    ExpectDaemonEnded(daemon, 10000);
    EXPECT_TRUE(PidAlive(a) && PidAlive(b));

    pid_t next = StartDaemon();
    ASSERT_TRUE(WaitAllRunning());
    EXPECT_EQ(TendletPid("a"), a);
    EXPECT_EQ(TendletPid("b"), b);
    UnixRpcManager(socket_.c_str()).Stop(result, 30);
    EXPECT_EQ(result.returnCode, 0);
    EXPECT_TRUE(WaitTendletsGone(a, b));
    ExpectDaemonEnded(next, 10000);
}

// A state file that others can write is not trusted: none of its check commands
// runs, and the log names the file.
TEST_F(DaemonTest, StateFileOthersCanWriteIsIgnored) {
    const std::string state = dir_ / "data/tendwell_process_keeper.save";
    const std::string check = "touch " + (dir_ / "ran");
    ASSERT_TRUE(testutil::WriteFile(
        state, "22 serialization::archive 10 0 0 1 0 0 0 7 planted 0 1 7 planted 0  4 true " +
                   std::to_string(check.size()) + " " + check + " 1000 1 -1 -1 -1 2\n"));
    ASSERT_EQ(chmod(state.c_str(), 0666), 0);
    StartDaemon();
    ASSERT_TRUE(WaitAllRunning());
    EXPECT_FALSE(FileExists(dir_ / "ran"));
    EXPECT_NE(testutil::ReadFile(dir_ / "log/tendwell.log").find("][Load]state file " + state),
              std::string::npos);
}

class StopSignalTest : public DaemonTest, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignalTest, StopsTheDaemonWithinAboutTwoSeconds) {
    pid_t daemon = StartDaemon();
    ASSERT_TRUE(WaitAllRunning());
    pid_t a = TendletPid("a"), b = TendletPid("b");
    ASSERT_EQ(kill(daemon, GetParam()), 0);
    // Well within the bound: the request wakes the main loop, the tendlets end promptly.
    ExpectDaemonEnded(daemon, 4000);
    EXPECT_TRUE(WaitTendletsGone(a, b));
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignalTest, ::testing::Values(SIGTERM, SIGHUP));

TEST_F(DaemonTest, StopBeforeListeningIsNotLost) {
    pid_t daemon = StartDaemon({"--stop-before-run"});
    ExpectDaemonEnded(daemon, 10000);
    EXPECT_FALSE(FileExists(dir_ / "a.pid"));
    EXPECT_FALSE(FileExists(dir_ / "b.pid"));
}

TEST_F(DaemonTest, UnservableSocketEndsTheDaemonBeforeAnyTendlet) {
    // Whatever stands at the socket path and is not a socket stays as it was.
    const std::string kept = socket_ + "/keep";
    for (const std::string& file : {kept, socket_}) {
        if (file == kept) {
            ASSERT_EQ(mkdir(socket_.c_str(), 0755), 0);
        }
        ASSERT_TRUE(testutil::WriteFile(file, "x"));
        pid_t daemon = StartDaemon();
        EXPECT_EQ(WaitExit(daemon, 10000), 1) << file;
        EXPECT_EQ(testutil::ReadFile(file), "x") << file;
        EXPECT_FALSE(FileExists(dir_ / "a.pid"));
        EXPECT_FALSE(FileExists(dir_ / "b.pid"));
        unlink(file.c_str());
        rmdir(socket_.c_str());
    }
}

TEST_F(DaemonTest, ServesAgainAfterAcceptFails) {
    pid_t daemon = StartDaemon();
    ASSERT_TRUE(WaitAllRunning());
    ASSERT_TRUE(ShutDownListener(daemon));
    EXPECT_TRUE(WaitFor(
        [&] {
            return testutil::ReadFile(dir_ / "log/tendwell.log").find("serve again") !=
                   std::string::npos;
        },
        10000, 20));
    EXPECT_TRUE(WaitFor([&] { return Check().returnInfo.returnCode == 0; }, 10000, 100));
    EXPECT_TRUE(PidAlive(daemon));
}

TEST_F(DaemonTest, OversizedFrameDropsOnlyItsConnection) {
    StartDaemon();
    ASSERT_TRUE(WaitAllRunning());
    int fd = ConnectRaw(socket_);
    ASSERT_GE(fd, 0);
    // 10 MB announced: under the library's own limit, far over any real request.
    const unsigned char header[4] = {0x00, 0xa0, 0x00, 0x00};
    ASSERT_EQ(write(fd, header, sizeof(header)), 4);
    struct pollfd pfd = {fd, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 5000), 1);
    char byte;
    EXPECT_LE(read(fd, &byte, 1), 0);
    close(fd);
    EXPECT_EQ(Check().returnInfo.returnCode, 0);
}

// Each malformed frame costs only its own connection: never the daemon (a
// sanitizer build included), nor memory that a frame merely announces.
TEST_F(DaemonTest, MalformedFramesCostOnlyTheirConnection) {
    pid_t daemon = StartDaemon();
    ASSERT_TRUE(WaitAllRunning());
    const std::string huge = Be32(0x7fffffff);
    std::vector<std::string> messages = {
        Message("check", 0xff, std::string(1, '\0')),                // no such message type
        Message("check", 1, "\x28\x00\x01" + std::string(8, '\0')),  // no such field type
        Message("check", 1, std::string("\x0f\x00\x07\x08", 4) + huge),      // list
        Message("check", 1, std::string("\x0d\x00\x07\x08\x08", 5) + huge),  // map
        Message("checkOne", 1, std::string("\x0b\x00\x01", 3) + huge),       // string
    };
    // Mutations of calls that only read, so that none can turn into a stop.
    const std::string valid[] = {
        Message("check", 1, std::string("\x08\x00\x01", 3) + Be32(30) + '\0'),
        Message("checkOne", 1, std::string("\x0b\x00\x01", 3) + Be32(1) + "a\x08\x00\x02" +
                                   Be32(30) + '\0')};
    std::mt19937 random(20240612);
    while (messages.size() < 3000) {
        std::string m = valid[random() % 2];
        if (random() % 2) {
            for (int i = random() % 3; i >= 0; --i) m[random() % m.size()] = char(random());
        } else {
            m.resize(4 + random() % (m.size() - 4));
            for (int i = random() % 40; i > 0; --i) m += char(random());
        }
        messages.push_back(m);
    }
    char buf[256];
    for (size_t i = 0; i < messages.size(); ++i) {
        int fd = ConnectRaw(socket_);
        ASSERT_GE(fd, 0) << "frame " << i;
        std::string frame = Be32(messages[i].size()) + messages[i];
        EXPECT_EQ(write(fd, frame.data(), frame.size()), ssize_t(frame.size()));
        shutdown(fd, SHUT_WR);
        struct pollfd pfd = {fd, POLLIN, 0};
        while (poll(&pfd, 1, 5000) == 1 && read(fd, buf, sizeof(buf)) > 0) {
        }
        close(fd);
        ASSERT_EQ(waitpid(daemon, nullptr, WNOHANG), 0) << "daemon ended at frame " << i;
    }
    EXPECT_EQ(Check().statusInfo.size(), 2u);
    std::string status = testutil::ReadFile("/proc/" + std::to_string(daemon) + "/status");
    EXPECT_LT(atol(status.c_str() + status.find("VmHWM:") + 6), 512 * 1024) << "kB at most";
}

// Clients that send nothing, or half a request, hold no worker: a command gets
// its answer at once.
TEST_F(DaemonTest, SilentAndHalfSentClientsHoldNoWorker) {
    StartDaemon();
    ASSERT_TRUE(WaitAllRunning());
    std::vector<int> clients;
    for (int i = 0; i < 3; ++i) clients.push_back(ConnectRaw(socket_));
    const int half = ConnectRaw(socket_);
    const std::string part = Be32(64) + "abc";
    EXPECT_EQ(write(half, part.data(), part.size()), ssize_t(part.size()));
    clients.push_back(half);
    for (int i = 0; i < 100; ++i) clients.push_back(ConnectRaw(socket_));
    for (int fd : clients) EXPECT_GE(fd, 0);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(Check().returnInfo.returnCode, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
    for (int fd : clients) close(fd);
}

// Past the cap the oldest idle connections go at once, and every silent one goes
// within a few seconds: idle clients cannot make the daemon run out of descriptors.
TEST_F(DaemonTest, IdleConnectionsAreCappedAndClosed) {
    const pid_t daemon = StartDaemon();
    ASSERT_TRUE(WaitAllRunning());
    const size_t before = OpenDescriptors(daemon);
    std::vector<int> clients;
    for (int i = 0; i < 200; ++i) {
        clients.push_back(ConnectRaw(socket_));
        ASSERT_GE(clients.back(), 0);
    }
    auto closed = [&] {
        size_t n = 0;
        for (int fd : clients) n += ClosedByPeer(fd) ? 1 : 0;
        return n;
    };
    EXPECT_TRUE(WaitFor([&] { return closed() >= 200 - 64; }, 2000));
    EXPECT_LE(OpenDescriptors(daemon), before + 64);
    EXPECT_EQ(Check().returnInfo.returnCode, 0);
    EXPECT_TRUE(WaitFor([&] { return closed() == 200; }, 15000, 100));
    for (int fd : clients) close(fd);
}

// Clients that come at once, far over the cap of idle connections, also while
// the daemon is held (stopped here; on a busy machine merely not scheduled):
// every one that has sent any byte of a request gets its answer.
struct Crowd {
    const char* what;
    bool held;
    // Bytes of the request sent before the daemon goes on; the rest follows.
    size_t first_bytes;
};

void PrintTo(const Crowd& crowd, std::ostream* os) { *os << crowd.what; }

class CrowdTest : public DaemonTest, public ::testing::WithParamInterface<Crowd> {};

TEST_P(CrowdTest, EveryRequestIsAnswered) {
    const pid_t daemon = StartDaemon();
    ASSERT_TRUE(WaitAllRunning());
    const std::string frame = CheckFrame();
    const std::string first = frame.substr(0, GetParam().first_bytes);
    const std::string rest = frame.substr(first.size());
    if (GetParam().held) {
        ASSERT_EQ(kill(daemon, SIGSTOP), 0);
    }
    std::vector<int> clients;
    for (int i = 0; i < 150; ++i) {
        clients.push_back(ConnectRaw(socket_));
        ASSERT_GE(clients.back(), 0);
        EXPECT_EQ(send(clients.back(), first.data(), first.size(), MSG_NOSIGNAL),
                  ssize_t(first.size()));
    }
    if (GetParam().held) {
        ASSERT_EQ(kill(daemon, SIGCONT), 0);
    }
    for (int fd : clients) {
        if (!rest.empty()) send(fd, rest.data(), rest.size(), MSG_NOSIGNAL);
    }
    for (size_t i = 0; i < clients.size(); ++i) EXPECT_EQ(CheckAnswer(clients[i]), 0) << i;
    for (int fd : clients) close(fd);
}

INSTANTIATE_TEST_SUITE_P(Clients, CrowdTest,
                         ::testing::Values(Crowd{"WholeWhileHeld", true, std::string::npos},
                                           Crowd{"HalfFirst", false, 7}),
                         [](const ::testing::TestParamInfo<Crowd>& info) {
                             return std::string(info.param.what);
                         });

// A daemon whose descriptors have run out, its claim and its socket flooded with
// clients that send nothing: it does not spin while they wait, and answers once
// they have gone.
TEST_F(DaemonTest, AFloodAtTheDescriptorLimitCostsNoSpin) {
    const pid_t daemon = StartDaemon({}, 64);
    ASSERT_TRUE(WaitAllRunning());
    std::vector<int> clients;
    for (int i = 0; i < 150; ++i) clients.push_back(ConnectRaw(socket_));
    // Its descriptors run out as it accepts them; those who look at its claim then
    // wait to be accepted.
    ASSERT_TRUE(WaitFor([&] { return OpenDescriptors(daemon) >= 60; }, 5000));
    const tendwell::InstanceClaim claim(socket_);
    size_t looks = 0;
    for (int i = 0; i < 150; ++i) {
        for (const std::string& name : claim.names()) {
            const int fd = ConnectAbstract(name);
            if (fd < 0) continue;
            clients.push_back(fd);
            ++looks;
        }
    }
    // Room for every one of them: a full queue tells nothing of its holder.
    EXPECT_EQ(looks, 150 * claim.names().size());
    const uint64_t before = CpuNs(daemon);
    const auto begin = std::chrono::steady_clock::now();
    usleep(2000000);
    const auto spent = std::chrono::steady_clock::now() - begin;
    const uint64_t used = CpuNs(daemon) - before;
    // A spinning loop takes a whole core; an idle daemon next to nothing.
    EXPECT_LT(used, std::chrono::duration_cast<std::chrono::nanoseconds>(spent).count() / 4);
    for (int fd : clients) close(fd);
    EXPECT_TRUE(WaitFor([&] { return Check().returnInfo.returnCode == 0; }, 15000, 100));
    EXPECT_TRUE(PidAlive(daemon));
}

// Others looking at the claim as fast as they can hold up none of the daemon's
// looks after its files: a removed socket is back at once.
TEST_F(DaemonTest, AFloodOfLooksAtTheClaimHoldsUpNoPutBack) {
    StartDaemon();
    ASSERT_TRUE(WaitAllRunning());
    bool back = false;
    {
        ClaimFlood flood(socket_);
        if (WaitFor([&] { return flood.looks() >= 20000; }, 10000) &&
            unlink(socket_.c_str()) == 0) {
            back = WaitFor([&] { return FileExists(socket_); }, 3000);
        }
    }
    EXPECT_TRUE(back);
    EXPECT_EQ(Check().returnInfo.returnCode, 0);
}

// A flood of looks at the claim of a daemon whose descriptors have run out, each
// taken through the descriptor kept in reserve, leaves it that reserve: a look
// that comes later costs no spin, and the daemon answers once descriptors are
// free again.
TEST_F(DaemonTest, AFloodAtTheDescriptorLimitLeavesTheClaimItsReserve) {
    const pid_t daemon = StartDaemon({}, 64);
    ASSERT_TRUE(WaitAllRunning());
    // Each announces a request far longer than it ever sends.
    const std::string header = Be32(100000);
    std::vector<int> clients;
    for (int i = 0; i < 150; ++i) {
        clients.push_back(ConnectRaw(socket_));
        send(clients.back(), header.data(), header.size(), MSG_NOSIGNAL);
    }
    ASSERT_TRUE(WaitFor([&] { return OpenDescriptors(daemon) >= 60; }, 5000));
    {
        ClaimFlood flood(socket_);
        KeepSending(clients, 3000);
    }
    // To be taken through the reserve, if there is one.
    const int look = ConnectAbstract(tendwell::InstanceClaim(socket_).names()[0]);
    const uint64_t before = CpuNs(daemon);
    const auto begin = std::chrono::steady_clock::now();
    KeepSending(clients, 2000);
    const auto spent = std::chrono::steady_clock::now() - begin;
    const uint64_t used = CpuNs(daemon) - before;
    // A spinning loop takes a whole core; an idle daemon next to nothing.
    EXPECT_LT(used, std::chrono::duration_cast<std::chrono::nanoseconds>(spent).count() / 4);
    close(look);
    for (int fd : clients) close(fd);
    EXPECT_TRUE(WaitFor([&] { return Check().returnInfo.returnCode == 0; }, 15000, 100));
    EXPECT_TRUE(PidAlive(daemon));
}

// Clients that send requests and never read the answers hold no worker: other
// commands are answered at once, and each such client goes once its answer has
// waited its time.
TEST_F(DaemonTest, ClientsThatDoNotReadHoldNoWorker) {
    const pid_t daemon = StartDaemon();
    ASSERT_TRUE(WaitAllRunning());
    const size_t before = OpenDescriptors(daemon);
    // An unknown method's answer names the method: with this name, far more than
    // a socket holds.
    const std::string call = Message(std::string(900 * 1024, 'x'), 1, std::string(1, '\0'));
    const std::string frame = Be32(call.size()) + call;
    std::vector<int> clients;
    for (int i = 0; i < 30; ++i) {
        clients.push_back(ConnectRaw(socket_));
        ASSERT_GE(clients.back(), 0);
        ASSERT_EQ(corvel::write_all(clients.back(), frame.data(), frame.size(), 10000),
                  ssize_t(frame.size()));
    }
    for (int i = 0; i < 11; ++i) EXPECT_EQ(Check().returnInfo.returnCode, 0) << "check " << i;
    EXPECT_TRUE(WaitFor([&] { return OpenDescriptors(daemon) <= before; }, 15000, 100));
    for (int fd : clients) close(fd);
}
