// Shells held at a gate, and the descriptor limit children get back: real
// processes, what they wrote and what /proc shows of them.
#include <gtest/gtest.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "corvel/shell.h"
#include "corvel/spawn.h"
#include "test_util.h"

extern char** environ;

namespace {

using testutil::FileExists;
using testutil::ReadFile;
using testutil::WaitFor;

corvel::ShellSetup KeptSetup() {
    corvel::ShellSetup setup;
    setup.login = true;
    setup.new_group = true;
    setup.null_stdio = true;
    return setup;
}

// Reaps the shell, also one that came to this process as an orphan.
void Reap(pid_t pid) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// Once released, the shell runs exactly as started without a gate: its arguments,
// the caller's environment byte for byte (also a variable no shell would pass on),
// its own group, "/dev/null" on 0 to 2 and nothing else open, no signal blocked or
// ignored.
TEST(CorvelShellGateTest, ReleasedShellRunsAsIfUngated) {
    testutil::TempDir dir;
    testutil::PidReaper reaper;
    ASSERT_EQ(0, setenv("A-B", "not a shell name", 1));
    const std::string command = "cat /proc/$$/cmdline > " + (dir / "argv") +
                                "; cat /proc/$$/environ > " + (dir / "env") + "; exec sleep 1000";
    signal(SIGUSR2, SIG_IGN);
    corvel::ShellGate gate;
    const pid_t pid = gate.start(command.c_str(), KeptSetup());
    ASSERT_GT(pid, 1);
    reaper.Add(pid);
    EXPECT_TRUE(gate.held());
    EXPECT_EQ(getpgid(pid), pid);
    gate.release();
    EXPECT_FALSE(gate.held());
    const std::string cmdline = "/proc/" + std::to_string(pid) + "/cmdline";
    ASSERT_TRUE(WaitFor([&] { return ReadFile(cmdline) == std::string("sleep\0001000\0", 11); }, 5000));
    EXPECT_TRUE(gate.settle(true));
    EXPECT_EQ(gate.fd(), -1);

    EXPECT_EQ(ReadFile(dir / "argv"), std::string("/bin/sh\0-l\0-c\0", 14) + command + '\0');
    std::string env;
    for (char** e = environ; *e != nullptr; ++e) env += std::string(*e) + '\0';
    EXPECT_EQ(ReadFile(dir / "env"), env);
    // The shell opens descriptors and blocks signals of its own; what it ran with
    // shows in what it hands on, once sleep has opened and closed its own files
    // (the loader's, the locale's) as it starts.
    WaitFor([&] { return testutil::OpenFds(pid) == std::set<int>{0, 1, 2}; }, 2000);
    EXPECT_EQ(testutil::OpenFds(pid), (std::set<int>{0, 1, 2}));
    for (int fd = 0; fd <= 2; ++fd) EXPECT_EQ(testutil::FdTarget(pid, fd), "/dev/null") << fd;
    EXPECT_EQ(testutil::StatusLine(pid, "SigBlk"), "0000000000000000");
    EXPECT_EQ(testutil::StatusLine(pid, "SigIgn"), "0000000000000000");
    EXPECT_EQ(getpgid(pid), pid);
    signal(SIGUSR2, SIG_DFL);
    unsetenv("A-B");
}

// A shell that is never released runs nothing: refused, dropped with its gate, or
// left behind by a holder that ended, whatever descriptors it was given.
TEST(CorvelShellGateTest, UnreleasedShellEndsWithoutRunning) {
    testutil::BecomeSubreaper();
    testutil::TempDir dir;
    testutil::PidReaper reaper;
    const std::string ran = dir / "ran";
    const std::string command = "touch " + ran;
    // Held by a child that ends at once; the shell then comes to this process.
    auto holder_ended = [&](const corvel::ShellSetup& setup) {
        int report[2];
        EXPECT_EQ(0, pipe(report));
        const pid_t holder = fork();
        if (holder == 0) {
            corvel::ShellGate* gate = new corvel::ShellGate;
            const pid_t pid = gate->start(command.c_str(), setup);
            _exit(write(report[1], &pid, sizeof(pid)) == sizeof(pid) ? 0 : 1);
        }
        close(report[1]);
        pid_t pid = -1;
        EXPECT_EQ(static_cast<ssize_t>(sizeof(pid)), read(report[0], &pid, sizeof(pid)));
        close(report[0]);
        EXPECT_EQ(0, testutil::WaitStatusOf(holder));
        if (pid > 1) {
            reaper.Add(pid);
            if (WaitFor([&] { return !testutil::PidAlive(pid); }, 5000)) Reap(pid);
        }
        return pid;
    };
    corvel::ShellSetup inherited;
    inherited.login = true;
    inherited.new_group = true;
    int sink[2];
    ASSERT_EQ(0, pipe2(sink, O_CLOEXEC));
    corvel::ShellSetup onto_pipe = inherited;
    onto_pipe.stdio_fd = sink[1];
    const std::pair<const char*, std::function<pid_t()>> cases[] = {
        {"refused",
         [&] {
             corvel::ShellGate gate;
             const pid_t pid = gate.start(command.c_str(), KeptSetup());
             gate.refuse();
             EXPECT_FALSE(gate.held());
             EXPECT_TRUE(gate.settle(true));
             Reap(pid);
             return pid;
         }},
        {"dropped",
         [&] {
             // The gate's end reaps the shell itself.
             corvel::ShellGate gate;
             return gate.start(command.c_str(), KeptSetup());
         }},
        {"holder ended", [&] { return holder_ended(KeptSetup()); }},
        {"holder ended, descriptors inherited", [&] { return holder_ended(inherited); }},
        {"holder ended, standard streams on a pipe", [&] { return holder_ended(onto_pipe); }},
    };
    for (const auto& [label, run] : cases) {
        const pid_t pid = run();
        EXPECT_GT(pid, 1) << label;
        EXPECT_FALSE(FileExists("/proc/" + std::to_string(pid))) << label;
        EXPECT_FALSE(FileExists(ran)) << label;
    }
    close(sink[0]);
    close(sink[1]);
}

// A held shell is a process of its own, running the gate program: a signal that
// dumps core ends it alone, and nothing of this process goes into the dump.
TEST(CorvelShellGateTest, CoreDumpingSignalEndsTheHeldShellAlone) {
    // No core file in whatever directory the test runs in.
    struct rlimit core;
    ASSERT_EQ(0, getrlimit(RLIMIT_CORE, &core));
    core.rlim_cur = 0;
    ASSERT_EQ(0, setrlimit(RLIMIT_CORE, &core));
    // The gate program's sealed copy in memory, named after its file.
    const char* slash = strrchr(TENDWELL_GATE, '/');
    const std::string program =
        std::string("/memfd:") + (slash != nullptr ? slash + 1 : TENDWELL_GATE) + " (deleted)";
    testutil::TempDir dir;
    testutil::PidReaper reaper;
    const std::string ran = dir / "ran";
    const std::string command = "touch " + ran;
    for (int sig : {SIGQUIT, SIGABRT, SIGSEGV}) {
        corvel::ShellGate gate;
        const pid_t pid = gate.start(command.c_str(), KeptSetup());
        ASSERT_GT(pid, 1) << sig;
        reaper.Add(pid);
        char exe[PATH_MAX] = {};
        const std::string link = "/proc/" + std::to_string(pid) + "/exe";
        EXPECT_LT(0, readlink(link.c_str(), exe, sizeof(exe) - 1)) << sig;
        EXPECT_EQ(program, exe) << sig;
        ASSERT_EQ(0, kill(-pid, sig));
        // Seen without reaping it: the gate reaps it when it goes.
        siginfo_t info = {};
        ASSERT_EQ(0, waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT)) << sig;
        EXPECT_EQ(sig, info.si_status) << sig;
        EXPECT_TRUE(info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED) << sig;
    }
    EXPECT_FALSE(FileExists(ran));
}

// A gate program that may be run but not read, by a process not root, still gates:
// it is run from its file, and the caller told why it was not copied.
TEST(CorvelSpawnTest, GateProgramRunButNotReadStillHoldsAndReleases) {
    const struct passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    testutil::TempDir dir;
    ASSERT_EQ(0, chmod(dir.path().c_str(), 0711));
    const std::string program = dir / "tendwell-gate";
    ASSERT_TRUE(testutil::WriteFile(program, ReadFile(TENDWELL_GATE)));
    ASSERT_EQ(0, chmod(program.c_str(), 0711));
    testutil::PidReaper reaper;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(10);
        corvel::GateUncopied uncopied;
        if (!corvel::use_gate_program(program.c_str(), &uncopied)) _exit(11);
        if (uncopied.error != EACCES || !uncopied.unreadable) _exit(12);
        corvel::ShellGate gate;
        const pid_t pid = gate.start("exit 7", KeptSetup());
        if (pid < 0 || !gate.held()) _exit(13);
        gate.release();
        int status = 0;
        if (!gate.settle(true) || waitpid(pid, &status, 0) != pid) _exit(14);
        _exit(WIFEXITED(status) && WEXITSTATUS(status) == 7 ? 0 : 15);
    }
    reaper.Add(child);
    int status = 0;
    ASSERT_TRUE(WaitFor([&] { return waitpid(child, &status, WNOHANG) == child; }, 10000));
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
}

// After the daemon raises its descriptor limit, shell commands and kept processes
// run with the limit it had before; a second raise does not take the raised limit
// for the original.
TEST(CorvelSpawnTest, ChildrenGetTheLimitFromBeforeTheRaise) {
    testutil::TempDir dir;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct rlimit limit = {64, 4096};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(10);
        if (corvel::raise_fd_limit() != 4096 || corvel::raise_fd_limit() != 4096) _exit(11);
        const std::string shell = "ulimit -n > " + (dir / "shell") + "; ulimit -H -n >> " + (dir / "shell");
        if (corvel::run_shell_command(shell.c_str(), 5000) != 0) _exit(12);
        corvel::ShellGate gate;
        const std::string kept = "ulimit -n > " + (dir / "kept");
        const pid_t pid = gate.start(kept.c_str(), KeptSetup());
        if (pid < 0) _exit(13);
        gate.release();
        int status = 0;
        if (!gate.settle(true) || waitpid(pid, &status, 0) != pid || status != 0) _exit(14);
        _exit(0);
    }
    ASSERT_EQ(0, testutil::WaitStatusOf(child));
    EXPECT_EQ(ReadFile(dir / "shell"), "64\n4096\n");
    EXPECT_EQ(ReadFile(dir / "kept"), "64\n");
}

}  // namespace
