// A real daemon (the test daemon program, a child of the test) on a configuration
// of its own with two tendlets that write their pids, all in a TempDir.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"
#include "tendwell_unix_rpc_manager.h"

class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Tendlets whose daemon is killed come to this process, which ends them.
        testutil::BecomeSubreaper();
        mkdir((dir_ / "data").c_str(), 0755);
        mkdir((dir_ / "log").c_str(), 0755);
        socket_ = dir_ / "data/ctl.sock";
        WriteConf(socket_);
    }

    void TearDown() override {
        // The daemons first: a daemon left running would start a killed tendlet again.
        for (pid_t pid : daemons_) {
            if (waitpid(pid, nullptr, WNOHANG) == 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
        testutil::PidReaper tendlets;
        for (const char* name : {"a", "b"}) tendlets.Add(TendletPid(name));
        // One that had not yet written its pid when its daemon was killed has come
        // to this process all the same.
        for (pid_t child : testutil::ChildrenOf(getpid())) tendlets.Add(child);
    }

    // Tendlet a (priority 1) and b (priority 5) write their pid, then sleep.
    void WriteConf(const std::string& socket_path) {
        std::string conf = "tendwell { log_path: \"" + (dir_ / "log") + "\" data_dir: \"" +
                           (dir_ / "data") + "\" unix_socket_path: \"" + socket_path +
                           "\" log_level: 16 }\n";
        for (std::string name : {"a", "b"}) {
            conf += "process { name: \"" + name + "\" priority: " + (name == "a" ? "1" : "5") +
                    " default_check { start_command: \"echo $$ > " + (dir_ / name) +
                    ".pid; exec sleep 1000\" stop_wait_secs: 2 reload_signal: 28 } }\n";
        }
        ASSERT_TRUE(testutil::WriteFile(dir_ / "tendwell.conf", conf));
    }

    // Starts the daemon under umask 000 with extra arguments; with fd_limit, at
    // most that many descriptors.
    pid_t StartDaemon(std::vector<std::string> args = {}, rlim_t fd_limit = 0) {
        std::string conf = dir_ / "tendwell.conf";
        args.insert(args.begin(), {SERVICE_DAEMON, conf});
        pid_t pid = fork();
        if (pid == 0) {
            umask(0);
            const struct rlimit limit = {fd_limit, fd_limit};
            if (fd_limit != 0 && setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(126);
            std::vector<char*> argv;
            for (std::string& arg : args) argv.push_back(&arg[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        daemons_.push_back(pid);
        return pid;
    }

    // The daemon's exit status, or -1 when it is still running after timeout_ms
    // (then it is left to TearDown).
    static int WaitExit(pid_t pid, int timeout_ms) {
        int status = -1;
        bool ended = testutil::WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; },
                                       timeout_ms);
        return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // The daemon ended normally and took its socket and lock file with it.
    void ExpectDaemonEnded(pid_t daemon, int timeout_ms) {
        EXPECT_EQ(WaitExit(daemon, timeout_ms), 0);
        EXPECT_FALSE(testutil::FileExists(socket_));
        EXPECT_FALSE(testutil::FileExists(socket_ + ".lock"));
    }

    tendwell::TTendletStatusResponse Check() {
        tendwell::UnixRpcManager client(socket_.c_str());
        tendwell::TTendletStatusResponse response;
        client.Check(response, 30);
        return response;
    }

    bool WaitAllRunning() {
        return testutil::WaitFor(
            [&] {
                tendwell::TTendletStatusResponse r = Check();
                if (r.returnInfo.returnCode != 0 || r.statusInfo.size() != 2) return false;
                for (const auto& info : r.statusInfo) {
                    if (info.status != tendwell::TTendletStatus::RUNNING) return false;
                }
                return true;
            },
            15000, 100);
    }

    pid_t TendletPid(const std::string& name) {
        return atoi(testutil::ReadFile(dir_ / (name + ".pid")).c_str());
    }

    // True once neither tendlet runs; reaps them where the test adopted them.
    bool WaitTendletsGone(pid_t a, pid_t b) {
        return testutil::WaitFor(
            [&] {
                for (pid_t pid : {a, b}) waitpid(pid, nullptr, WNOHANG);
                return !testutil::PidAlive(a) && !testutil::PidAlive(b);
            },
            10000);
    }

    testutil::TempDir dir_;
    std::string socket_;
    std::vector<pid_t> daemons_;
};
