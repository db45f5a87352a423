// The server's refusals and its lock file, without a whole daemon.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "test_util.h"
#include "tendwell_configure.h"
#include "tendwell_unix_server.h"

using namespace tendwell;

TEST(ThriftUnixServerDeathTest, EmptySocketPathIsRefused) {
    g_conf.mutable_tendwell()->set_unix_socket_path("");
    EXPECT_EXIT(ThriftUnixServer::GetInstance()->Run(), ::testing::ExitedWithCode(1), "");
}

// Pid of the process holding a write lock on the file at path, or 0.
static pid_t LockHolder(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return 0;
    struct flock probe = {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    pid_t holder = fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK ? probe.l_pid : 0;
    close(fd);
    return holder;
}

TEST(ThriftUnixServer, LockHeldIsTheFileAtThePathDespiteStaleProbes) {
    testutil::TempDir dir;
    std::string lock_path = dir / "ctl.sock.lock";
    g_conf.mutable_tendwell()->set_unix_socket_path(dir / "ctl.sock");
    ThriftUnixServer::GetInstance();
    // Probes that find the file unlocked take it and remove it as stale.
    std::atomic<bool> probing{true};
    std::thread prober([&] {
        while (probing) {
            int fd = open(lock_path.c_str(), O_WRONLY | O_CREAT, 0600);
            struct flock lock = {};
            lock.l_type = F_WRLCK;
            lock.l_whence = SEEK_SET;
            if (fd >= 0 && fcntl(fd, F_SETLK, &lock) == 0) unlink(lock_path.c_str());
            if (fd >= 0) close(fd);
        }
    });
    testutil::PidReaper reaper;
    int locked = 0;
    for (int i = 0; i < 100; ++i) {
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
        ASSERT_EQ(read(report[0], &ok, 1), 1);
        close(report[0]);
        if (ok) {
            ++locked;
            EXPECT_EQ(LockHolder(lock_path), child) << "attempt " << i;
        }
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    probing = false;
    prober.join();
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
