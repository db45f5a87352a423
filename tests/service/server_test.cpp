// The server's refusals and its lock file, without a whole daemon.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "instance/tendwell_instance_lock.h"
#include "instance/tendwell_socket_state.h"
#include "tendwell_configure.h"
#include "tendwell_unix_server.h"
#include "test_util.h"

using namespace tendwell;

TEST(ThriftUnixServerDeathTest, EmptySocketPathIsRefused) {
    g_conf.mutable_tendwell()->set_unix_socket_path("");
    EXPECT_EXIT(ThriftUnixServer::GetInstance()->Run(), ::testing::ExitedWithCode(1), "");
}

// A daemon that comes second leaves the path to the process serving it, and
// removes only a socket that nobody listens on any more.
TEST(ThriftUnixServerDeathTest, BindLeavesAServedPathToItsServer) {
    testutil::TempDir dir;
    const std::string path = dir / "ctl.sock";
    g_conf.mutable_tendwell()->set_unix_socket_path(path);
    const int fd = testutil::ListenUnix(path);
    ASSERT_GE(fd, 0);
    EXPECT_EXIT(ThriftUnixServer::GetInstance()->Bind(), ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(LookAtSocket(path), SocketState::kListening);
    close(fd);
    EXPECT_EXIT(
        {
            ThriftUnixServer::GetInstance()->Bind();
            _exit(LookAtSocket(path) == SocketState::kListening ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(ThriftUnixServer, LockHeldIsTheFileAtThePathDespiteStaleProbes) {
    testutil::TempDir dir;
    std::string lock_path = dir / "ctl.sock.lock";
    g_conf.mutable_tendwell()->set_unix_socket_path(dir / "ctl.sock");
    ThriftUnixServer::GetInstance();
    testutil::PidReaper reaper;
    // Probes that find the file unlocked take it and remove it as stale; they run
    // in a process of their own, so that this one forks with one thread.
    const pid_t prober = fork();
    ASSERT_GE(prober, 0);
    if (prober == 0) {
        for (;;) InstanceLock(lock_path).Probe();
    }
    reaper.Add(prober);
    int locked = 0;
    for (int i = 0; i < 300; ++i) {
        int report[2];
        ASSERT_EQ(pipe(report), 0);
        pid_t child = fork();
        if (child == 0) {
            char ok = ThriftUnixServer::GetInstance()->LockFile() ? 1 : 0;
            if (write(report[1], &ok, 1) != 1) _exit(1);
            pause();
            _exit(0);
        }
        reaper.Add(child);
        close(report[1]);
        char ok = 0;
        struct pollfd answer = {report[0], POLLIN, 0};
        ASSERT_EQ(poll(&answer, 1, 60000), 1) << "attempt " << i;
        ASSERT_EQ(read(report[0], &ok, 1), 1);
        close(report[0]);
        if (ok) {
            ++locked;
            EXPECT_EQ(InstanceLock(lock_path).HolderPid(), child) << "attempt " << i;
        }
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    EXPECT_GT(locked, 0);
}

// A stop that comes while the server is still setting its socket up: once the
// stop and the server have ended, the socket is gone as after any other stop.
TEST(ThriftUnixServer, StopWhileSettingUpLeavesNoSocket) {
    testutil::TempDir dir;
    // Stops spread over the server's first milliseconds, one child process each.
    for (int delay_us = 0; delay_us < 4000; delay_us += 20) {
        std::string socket = dir / ("ctl" + std::to_string(delay_us) + ".sock");
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            g_conf.mutable_tendwell()->set_unix_socket_path(socket);
            ThriftUnixServer* server = ThriftUnixServer::GetInstance();
            std::thread monitor([server] { server->Run(); });
            usleep(delay_us);
            server->Stop();
            monitor.join();
            _exit(access(socket.c_str(), F_OK) == 0 ? 3 : 0);
        }
        int status = -1;
        if (!testutil::WaitFor([&] { return waitpid(child, &status, WNOHANG) == child; }, 10000)) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "delay " << delay_us;
    }
}
