// The RPC client against no daemon and against a server that never answers.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "test_util.h"
#include "tendwell_unix_rpc_manager.h"

using namespace tendwell;

namespace {

// A listener that lets clients connect and never reads or answers.
int SilentListener(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(fd, 8) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

TEST(UnixRpcClient, NoDaemonGivesCodeOneAndLeavesTheRestAlone) {
    testutil::TempDir dir;
    UnixRpcManager client((dir / "none.sock").c_str());
    TReturnResult result;
    client.StopOne(result, "web", 30);
    EXPECT_EQ(result.returnCode, 1);
    EXPECT_EQ(result.returnMsg, "connect to unix rpc server fail");
    TTendletStatusResponse response;
    response.statusInfo.resize(1);
    response.statusInfo[0].name = "kept";
    client.Check(response, 30);
    EXPECT_EQ(response.returnInfo.returnCode, 1);
    EXPECT_EQ(response.returnInfo.returnMsg, "connect to unix rpc server fail");
    ASSERT_EQ(response.statusInfo.size(), 1u);
    EXPECT_EQ(response.statusInfo[0].name, "kept");
}

TEST(UnixRpcClient, SilentServerGivesCode13AfterTheReceiveTimeout) {
    testutil::TempDir dir;
    std::string path = dir / "silent.sock";
    int listener = SilentListener(path);
    ASSERT_GE(listener, 0);
    UnixRpcManager client(path.c_str());
    client.SetRecvTimeout(300);
    auto begin = std::chrono::steady_clock::now();
    TTendletStatusResponse response;
    client.Check(response, 30);
    auto elapsed_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - begin).count();
    EXPECT_EQ(response.returnInfo.returnCode, 13);
    EXPECT_EQ(response.returnInfo.returnMsg.rfind("commnicate with server fail:", 0), 0u)
        << response.returnInfo.returnMsg;
    EXPECT_GE(elapsed_ms, 250);
    EXPECT_LT(elapsed_ms, 10000);
    close(listener);
}

TEST(UnixRpcClient, LibraryDiagnosticsStayOffStandardError) {
    testutil::TempDir dir;
    std::string err_file = dir / "stderr";
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        UnixRpcManager client((dir / "none.sock").c_str());
        TReturnResult result;
        client.Start(result, 30);
        _exit(result.returnCode);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_EQ(testutil::ReadFile(err_file), "");
}
