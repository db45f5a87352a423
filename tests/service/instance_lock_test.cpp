// The instance lock on real files: what stands at the path, holds of daemons and
// commands in other processes told apart, and many commands meeting each other.
#include <fcntl.h>
#include <signal.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "instance/tendwell_instance_claim.h"
#include "instance/tendwell_instance_holder.h"
#include "instance/tendwell_instance_lock.h"
#include "lock_holder.h"
#include "tendwell/protocal/TendwellConfigure.pb.h"
#include "test_util.h"

using namespace tendwell;
using testutil::FileExists;
using testutil::TempDir;

namespace {

int64_t MsSince(std::chrono::steady_clock::time_point begin) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 begin)
        .count();
}

struct PathCase {
    const char* what;
    std::function<void(const TempDir&, const std::string& path)> make;
    InstanceLock::Owner owner;
    const char* why;  // the start of why(); null when there is none
    bool file_stays;
};

}  // namespace

TEST(InstanceLock, ProbeTellsWhatStandsAtThePath) {
    const PathCase cases[] = {
        {"nothing", [](const TempDir&, const std::string&) {}, InstanceLock::kNobody, nullptr,
         false},
        {"a stale file", [](const TempDir&, const std::string& p) { testutil::WriteFile(p, ""); },
         InstanceLock::kNobody, nullptr, false},
        {"a directory", [](const TempDir&, const std::string& p) { mkdir(p.c_str(), 0755); },
         InstanceLock::kUnusable, "lock file ", true},
        {"a FIFO", [](const TempDir&, const std::string& p) { mkfifo(p.c_str(), 0600); },
         InstanceLock::kUnusable, "lock file ", true},
        {"a link to a file",
         [](const TempDir& d, const std::string& p) { symlink((d / "victim").c_str(), p.c_str()); },
         InstanceLock::kUnusable, " is a symbolic link", true},
        {"a link to nothing",
         [](const TempDir& d, const std::string& p) { symlink((d / "absent").c_str(), p.c_str()); },
         InstanceLock::kUnusable, " is a symbolic link", true},
    };
    for (const PathCase& c : cases) {
        TempDir dir;
        ASSERT_TRUE(testutil::WriteFile(dir / "victim", "keep"));
        const std::string path = dir / "tw.sock.lock";
        c.make(dir, path);
        InstanceLock lock(path);
        EXPECT_EQ(lock.Probe(), c.owner) << c.what;
        if (c.why != nullptr) EXPECT_NE(lock.why().find(c.why), std::string::npos) << c.what;
        if (c.owner == InstanceLock::kUnusable) {
            EXPECT_NE(lock.why().find(path), std::string::npos) << c.what;
            EXPECT_NE(lock.TakeForCommand(100), InstanceLock::kNobody) << c.what;
            EXPECT_FALSE(lock.TakeForDaemon(100)) << c.what;
        }
        EXPECT_EQ(FileExists(path), c.file_stays) << c.what;
        EXPECT_EQ(testutil::ReadFile(dir / "victim"), "keep") << c.what;
        EXPECT_FALSE(FileExists(dir / "absent")) << c.what;
    }
    // Without a directory no lock file can be made, so nobody holds one.
    TempDir dir;
    EXPECT_EQ(InstanceLock(dir / "missing/tw.sock.lock").Probe(), InstanceLock::kNobody);
}

// Where nobody holds the lock, a held claim is a daemon whose lock file is gone,
// also to a client that names the socket by another path; a claim let go is none.
// Nothing is left at the lock path.
TEST(InstanceLock, AHeldClaimIsADaemonWhoseLockFileIsGone) {
    TempDir dir;
    const std::string socket_path = dir / "tw.sock";
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    InstanceClaim daemon(socket_path);
    InstanceClaim client(dir / "sub/../tw.sock");
    PConfigure conf;
    conf.mutable_tendwell()->set_unix_socket_path(dir / "sub/../tw.sock");
    conf.mutable_tendwell()->set_data_dir(dir.path());
    const auto holder = [&] { return FindInstanceHolder(conf, 100).kind; };
    EXPECT_EQ(holder(), InstanceHolder::kNobody);
    ASSERT_TRUE(daemon.Take()) << daemon.why();
    EXPECT_EQ(holder(), InstanceHolder::kDaemon);
    EXPECT_FALSE(client.Take());
    EXPECT_EQ(client.holder_pid(), getpid());
    daemon.Release();
    EXPECT_EQ(holder(), InstanceHolder::kNobody);
    EXPECT_FALSE(FileExists(dir / "tw.sock.lock"));
}

// A claim of this user's is its daemon whether its queue is full or it is bound
// without listening: the kernel's record of the socket tells whose it is, and its
// pid; a start takes it for claimed, never for a squatter's.
TEST(InstanceLock, AClaimOfThisUsersIsItsDaemonWhateverItsQueue) {
    TempDir dir;
    PConfigure conf;
    conf.mutable_tendwell()->set_unix_socket_path(dir / "tw.sock");
    conf.mutable_tendwell()->set_data_dir(dir.path());
    const InstanceClaim claim(dir / "tw.sock");
    for (const bool full : {true, false}) {
        std::vector<int> fds;
        for (const std::string& name : claim.names()) {
            struct sockaddr_un addr = {};
            addr.sun_family = AF_UNIX;
            memcpy(addr.sun_path + 1, name.data(), name.size());
            const socklen_t len =
                static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + 1 + name.size());
            const int held = socket(AF_UNIX, SOCK_STREAM, 0);
            ASSERT_EQ(bind(held, reinterpret_cast<struct sockaddr*>(&addr), len), 0);
            fds.push_back(held);
            if (!full) continue;
            ASSERT_EQ(listen(held, 0), 0);
            for (;;) {
                const int client = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
                fds.push_back(client);
                if (connect(client, reinterpret_cast<struct sockaddr*>(&addr), len) != 0) break;
            }
            ASSERT_EQ(errno, EAGAIN);
        }
        const InstanceHolder holder = FindInstanceHolder(conf, 100);
        EXPECT_EQ(holder.kind, InstanceHolder::kDaemon) << full << " " << holder.why;
        EXPECT_EQ(holder.pid, getpid()) << full;
        InstanceClaim start(dir / "tw.sock");
        EXPECT_FALSE(start.Take()) << full;
        EXPECT_EQ(start.why(), "") << full;
        EXPECT_TRUE(start.squatters().empty()) << full;
        for (int fd : fds) close(fd);
    }
}

// A daemon's look after its lock file: it locks the file that stands at the path
// (never another), and makes one only where none stands.
TEST(InstanceLock, RetakeMakesOnlyWhereNoneStands) {
    TempDir dir;
    const std::string path = dir / "tw.sock.lock";
    ASSERT_TRUE(testutil::WriteFile(path, ""));
    struct stat before;
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    InstanceLock left(path);
    EXPECT_EQ(left.Retake(), InstanceLock::kNobody);
    EXPECT_TRUE(left.HeldHere());
    struct stat after;
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    ASSERT_EQ(unlink(path.c_str()), 0);
    InstanceLock made(path);
    EXPECT_EQ(made.Retake(), InstanceLock::kNobody);
    EXPECT_TRUE(made.HeldHere());
}

TEST(InstanceLock, HoldsOfDaemonsAndCommandsAreToldApart) {
    TempDir dir;
    const std::string path = dir / "tw.sock.lock";
    for (Hold hold : {Hold::kDaemon, Hold::kCommand}) {
        testutil::PidReaper reaper;
        const pid_t holder = HoldInChild(path, hold, -1, &reaper);
        ASSERT_GT(holder, 0);
        InstanceLock lock(path);
        const bool daemon = hold == Hold::kDaemon;
        EXPECT_EQ(lock.Probe(), daemon ? InstanceLock::kDaemon : InstanceLock::kCommand);
        EXPECT_EQ(lock.HolderPid(), holder);
        EXPECT_TRUE(FileExists(path));
        // A daemon looking after its own lock file leaves another's hold alone.
        EXPECT_EQ(lock.Retake(), daemon ? InstanceLock::kDaemon : InstanceLock::kCommand);
        EXPECT_EQ(lock.HolderPid(), holder);
        // A command meets a daemon at once, and waits for a command in vain.
        EXPECT_EQ(lock.TakeForCommand(daemon ? 10000 : 200),
                  daemon ? InstanceLock::kDaemon : InstanceLock::kCommand);
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
        EXPECT_EQ(lock.Probe(), InstanceLock::kNobody);
        EXPECT_FALSE(FileExists(path));
    }
}

// Hard links are fine: the lock is taken on the file, which is never emptied.
TEST(InstanceLock, HardLinkIsTakenAndKept) {
    TempDir dir;
    ASSERT_TRUE(testutil::WriteFile(dir / "victim", "keep"));
    ASSERT_EQ(link((dir / "victim").c_str(), (dir / "tw.sock.lock").c_str()), 0);
    testutil::PidReaper reaper;
    EXPECT_GT(HoldInChild(dir / "tw.sock.lock", Hold::kDaemon, -1, &reaper), 0);
    EXPECT_EQ(testutil::ReadFile(dir / "victim"), "keep");
}

TEST(InstanceLock, WaitsOutACommandButNeverADaemon) {
    TempDir dir;
    const std::string path = dir / "tw.sock.lock";
    testutil::PidReaper reaper;
    ASSERT_GT(HoldInChild(path, Hold::kCommand, 300, &reaper), 0);
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(InstanceLock(path).Await(10000), InstanceLock::kNobody);
    EXPECT_GE(MsSince(begin), 200);

    // A daemon's take waits for a command too, and then holds the lock.
    ASSERT_GT(HoldInChild(path, Hold::kCommand, 300, &reaper), 0);
    const pid_t daemon = HoldInChild(path, Hold::kDaemon, -1, &reaper);
    ASSERT_GT(daemon, 0);
    begin = std::chrono::steady_clock::now();
    EXPECT_EQ(InstanceLock(path).Await(10000), InstanceLock::kDaemon);
    EXPECT_LT(MsSince(begin), 5000);
    EXPECT_EQ(InstanceLock(path).HolderPid(), daemon);
    InstanceLock second(path);
    EXPECT_FALSE(second.TakeForDaemon(200));
}

// Commands that meet each other without a daemon: each runs once the others have
// let go, and none ever takes another's hold (or a probe's) for a daemon's.
TEST(InstanceLock, ConcurrentCommandsNeverMeetADaemon) {
    TempDir dir;
    const std::string path = dir / "tw.sock.lock";
    constexpr int kCommands = 40;
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    testutil::PidReaper reaper;
    std::vector<pid_t> children;
    for (int i = 0; i < kCommands; ++i) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            InstanceLock lock(path);
            InstanceLock::Owner owner = lock.Await(20000);
            if (owner == InstanceLock::kNobody) owner = lock.TakeForCommand(20000);
            const char c = static_cast<char>('0' + owner);
            if (write(report[1], &c, 1) != 1) _exit(1);
            if (owner == InstanceLock::kNobody) {
                usleep(2000);
                lock.Remove();
            }
            _exit(0);
        }
        reaper.Add(child);
        children.push_back(child);
    }
    close(report[1]);
    std::string owners;
    char c;
    while (read(report[0], &c, 1) == 1) owners += c;
    close(report[0]);
    for (pid_t child : children) waitpid(child, nullptr, 0);
    EXPECT_EQ(owners, std::string(kCommands, static_cast<char>('0' + InstanceLock::kNobody)));
    EXPECT_FALSE(FileExists(path));
}
