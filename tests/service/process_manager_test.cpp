// The process manager against a stand-in daemon: a child process that holds
// the instance lock and answers the control service with chosen replies.
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/server/TSimpleServer.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TServerSocket.h>

#include "corvel/clock.h"
#include "instance/tendwell_instance_lock.h"
#include "lock_holder.h"
#include "tendwell/protocal/TSlaveServiceProtocol.h"
#include "tendwell_configure.h"
#include "tendwell_process.h"
#include "tendwell_utility.h"
#include "test_util.h"

namespace tendwell {
namespace {

using apache::thrift::protocol::TBinaryProtocolFactory;
using apache::thrift::server::TSimpleServer;
using apache::thrift::transport::TFramedTransportFactory;
using apache::thrift::transport::TServerSocket;

// Set in the stand-in's process: a stop or abort makes it exit a moment after
// its reply, as a daemon lets go of its lock only once it has answered.
bool g_ends_on_stop = true;

void EndSoon() {
    if (!g_ends_on_stop) return;
    std::thread([] {
        usleep(200 * 1000);
        _exit(0);
    }).detach();
}

// checkOne answers with as many records as its name asks for: "none", "one"
// or any other name for two; stop and abort answer "fake stop" and "fake abort".
class FakeDaemon : public TSlaveServiceProtocolIf {
public:
    void start(TReturnResult&, const int32_t) override {}
    void stop(TReturnResult& r, const int32_t) override {
        r.returnMsg = "fake stop";
        EndSoon();
    }
    void restart(TReturnResult&, const int32_t) override {}
    void abort(TReturnResult& r, const int32_t) override {
        r.returnMsg = "fake abort";
        EndSoon();
    }
    void reload(TReturnResult&, const int32_t) override {}
    void check(TTendletStatusResponse&, const int32_t) override {}
    void startOne(TReturnResult&, const std::string&, const int32_t) override {}
    void stopOne(TReturnResult&, const std::string&, const int32_t) override {}
    void restartOne(TReturnResult&, const std::string&, const int32_t) override {}
    void reloadOne(TReturnResult&, const std::string&, const int32_t) override {}
    void checkOne(TTendletStatusResponse& r, const std::string& name, const int32_t) override {
        size_t records = name == "none" ? 0 : name == "one" ? 1 : 2;
        for (size_t i = 0; i < records; ++i) {
            TTendletStatusInfo info;
            info.name = name;
            info.status = TTendletStatus::RUNNING;
            r.statusInfo.push_back(info);
        }
    }
};

// True once a server listens on the Unix-domain socket at path.
bool Listening(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    bool ok = connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0;
    close(fd);
    return ok;
}

class ProcessManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        conf_ = dir_ / "tendwell.conf";
        socket_ = dir_ / "tw.sock";
        ASSERT_TRUE(testutil::WriteFile(
            conf_, "tendwell { log_path: \"" + dir_.path() + "/log\" data_dir: \"" + dir_.path() +
                       "/data\" unix_socket_path: \"" + socket_ +
                       "\" }\ncmd_operate_timeout_sec: 1\n"
                       "process { name: \"web\" default_check { start_command: \"true\" } }\n"));
    }

    // Forks the stand-in daemon and waits until it serves.
    void StartFakeDaemon(bool ends_on_stop = true) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            g_ends_on_stop = ends_on_stop;
            if (!InstanceLock(socket_ + ".lock").TakeForDaemon(1000)) _exit(1);
            TSimpleServer server(
                std::make_shared<TSlaveServiceProtocolProcessor>(std::make_shared<FakeDaemon>()),
                std::make_shared<TServerSocket>(socket_), std::make_shared<TFramedTransportFactory>(),
                std::make_shared<TBinaryProtocolFactory>());
            server.serve();
            _exit(0);
        }
        reaper_.Add(pid);
        ASSERT_TRUE(testutil::WaitFor([&] { return Listening(socket_); }, 20000));
    }

    ProcessManager* Manager() {
        EXPECT_EQ(0, TendwellGetConfigureFromFile(conf_, &loaded_));
        ProcessManager* manager = ProcessManager::GetInstance();
        EXPECT_EQ(0, manager->InitWithoutProcessKeeper(loaded_, conf_));
        return manager;
    }

    testutil::TempDir dir_;
    testutil::PidReaper reaper_;
    std::string conf_;
    std::string socket_;
    PConfigure loaded_;
};

struct CheckOneCase {
    const char* name;
    int32_t code;
};

void PrintTo(const CheckOneCase& c, std::ostream* os) { *os << c.name; }

class CheckOneReply : public ProcessManagerTest,
                      public ::testing::WithParamInterface<CheckOneCase> {};

// Only a reply of exactly one record fills the caller's record; any other is
// an internal error rather than a blank row shown as success.
TEST_P(CheckOneReply, FillsTheRecordOnlyFromExactlyOne) {
    StartFakeDaemon();
    TTendletStatusInfo info;
    info.name = "untouched";
    TReturnResult result = Manager()->CheckOne(GetParam().name, info, false, 30);
    EXPECT_EQ(GetParam().code, result.returnCode) << result.returnMsg;
    EXPECT_EQ(GetParam().code == 0 ? GetParam().name : "untouched", info.name);
}

INSTANTIATE_TEST_SUITE_P(Replies, CheckOneReply,
                         ::testing::Values(CheckOneCase{"none", TReturnCode::ERROR_INTERNAL},
                                           CheckOneCase{"one", TReturnCode::SUCC},
                                           CheckOneCase{"two", TReturnCode::ERROR_INTERNAL}),
                         [](const ::testing::TestParamInfo<CheckOneCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(ProcessManagerTest, LiveDaemonGetsTheCommandEvenWhenLocalIsAllowed) {
    StartFakeDaemon();
    ProcessManager* manager = Manager();
    TReturnResult result = manager->Stop(true, 30);
    EXPECT_EQ(0, result.returnCode);
    EXPECT_EQ("fake stop", result.returnMsg);
    EXPECT_FALSE(manager->RanInProcess());
}

struct EndingCase {
    const char* command;
    bool daemon_ends;
};

void PrintTo(const EndingCase& c, std::ostream* os) {
    *os << c.command << (c.daemon_ends ? " ends" : " holds");
}

class DaemonEndingCommand : public ProcessManagerTest,
                           public ::testing::WithParamInterface<EndingCase> {};

// A stop or abort of all tendlets returns once the daemon has let go of its
// lock; from one that keeps it, after the receive time-out, as a failure that
// names it: a stop says OK only once the daemon is gone.
TEST_P(DaemonEndingCommand, ReturnsOnceTheDaemonLetsGoOfItsLock) {
    const std::string command = GetParam().command;
    StartFakeDaemon(GetParam().daemon_ends);
    ProcessManager* manager = Manager();
    const auto begin = std::chrono::steady_clock::now();
    TReturnResult result =
        command == "stop" ? manager->Stop(false, 30) : manager->Abort(false, 30);
    const auto waited = std::chrono::steady_clock::now() - begin;
    if (GetParam().daemon_ends) {
        EXPECT_EQ(0, result.returnCode);
        EXPECT_EQ("fake " + command, result.returnMsg);
        EXPECT_EQ(0, InstanceLock(socket_ + ".lock").HolderPid());
    } else {
        const pid_t daemon = InstanceLock(socket_ + ".lock").HolderPid();
        EXPECT_NE(0, daemon);
        EXPECT_EQ(TReturnCode::ERROR_COMMNICATE_WITH_SERVER, result.returnCode);
        EXPECT_EQ(0u, result.returnMsg.find("daemon " + std::to_string(daemon) +
                                            " still holds the instance of " + socket_))
            << result.returnMsg;
        EXPECT_GE(waited, std::chrono::seconds(1));
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, DaemonEndingCommand,
                         ::testing::Values(EndingCase{"stop", true}, EndingCase{"abort", true},
                                           EndingCase{"stop", false}));

TEST_F(ProcessManagerTest, NoDaemonAndNoPermissionIsRefusedAndTheStaleLockGoes) {
    ASSERT_TRUE(testutil::WriteFile(socket_ + ".lock", ""));
    ProcessManager* manager = Manager();
    TReturnResult result = manager->Restart(false, 30);
    EXPECT_EQ(TReturnCode::ERROR_CONNECTED_TO_SERVER, result.returnCode);
    EXPECT_EQ("check tendwell is running or do you have auth.", result.returnMsg);
    EXPECT_FALSE(testutil::FileExists(socket_ + ".lock"));
    EXPECT_FALSE(manager->RanInProcess());
}

// Another command's hold of the instance lock is waited out, up to the command's
// own time-out (1 s here), and never taken for a daemon that does not answer.
TEST_F(ProcessManagerTest, AnotherCommandsHoldIsWaitedOut) {
    const std::string lock = socket_ + ".lock";
    struct Case {
        int hold_ms;
        int code;
        std::string msg;
    };
    const Case cases[] = {
        {300, TReturnCode::ERROR_CONNECTED_TO_SERVER,
         "check tendwell is running or do you have auth."},
        {-1, TReturnCode::ERROR_IS_OPERATEING, "another command holds the instance lock " + lock},
    };
    for (const Case& c : cases) {
        testutil::PidReaper reaper;
        ASSERT_GT(HoldInChild(lock, Hold::kCommand, c.hold_ms, &reaper), 0);
        const auto begin = std::chrono::steady_clock::now();
        TReturnResult result = Manager()->Restart(false, 30);
        const auto waited = std::chrono::steady_clock::now() - begin;
        EXPECT_EQ(c.code, result.returnCode) << c.hold_ms;
        EXPECT_EQ(c.msg, result.returnMsg) << c.hold_ms;
        EXPECT_GE(waited, std::chrono::milliseconds(c.hold_ms < 0 ? 1000 : 250)) << c.hold_ms;
    }
}

TEST_F(ProcessManagerTest, LinkAtTheLockPathIsRefusedAtOnce) {
    const std::string lock = socket_ + ".lock";
    ASSERT_TRUE(testutil::WriteFile(dir_ / "target", "keep"));
    ASSERT_EQ(symlink((dir_ / "target").c_str(), lock.c_str()), 0);
    ProcessManager* manager = Manager();
    std::vector<TTendletStatusInfo> infos;
    bool take_over = false;
    const TReturnResult results[] = {manager->Stop(true, 30), manager->StopOne("web", true, 30),
                                     manager->Check(infos, true, 30),
                                     manager->Start(30, corvel::monotonic_ns(), &take_over)};
    for (const TReturnResult& result : results) {
        EXPECT_EQ(TReturnCode::ERROR_CONNECTED_TO_SERVER, result.returnCode);
        EXPECT_EQ("lock file " + lock + " is a symbolic link", result.returnMsg);
    }
    EXPECT_FALSE(manager->RanInProcess());
    EXPECT_FALSE(take_over);
    EXPECT_EQ(testutil::ReadFile(dir_ / "target"), "keep");
    char target[256] = {};
    EXPECT_GT(readlink(lock.c_str(), target, sizeof(target) - 1), 0);
}

}  // namespace
}  // namespace tendwell
