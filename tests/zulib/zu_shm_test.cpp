// The shared-memory process table between real processes, on this test's own keys.
#include "zulib/zu_shm.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>

#include <chrono>
#include <functional>
#include <map>

#include "shm_test_keys.h"
#include "test_util.h"
#include "zulib/zu_log.h"

namespace {

// Waits up to timeout_ms for one byte on fd; true when it came.
bool AwaitByte(int fd, int timeout_ms = 10000) {
    struct pollfd p = {fd, POLLIN, 0};
    char c;
    return poll(&p, 1, timeout_ms) == 1 && read(fd, &c, 1) == 1;
}

// A forked process running body with a pipe each way; its exit status is body's result.
class Child {
public:
    explicit Child(const std::function<int(Child&)>& body) {
        if (pipe(to_child_) != 0 || pipe(to_parent_) != 0) return;
        pid_ = fork();
        if (pid_ == 0) _exit(body(*this));
        reaper_.Add(pid_);
    }
    ~Child() {
        for (int fd : {to_child_[0], to_child_[1], to_parent_[0], to_parent_[1]}) close(fd);
    }
    pid_t pid() const { return pid_; }
    // From the child: tell the parent, wait for it.
    void Tell() { (void)!write(to_parent_[1], "x", 1); }
    bool Await() { return AwaitByte(to_child_[0]); }
    // From the parent.
    void Signal() { (void)!write(to_child_[1], "x", 1); }
    bool AwaitChild() { return AwaitByte(to_parent_[0]); }
    int Exit() {
        int status = -1;
        if (waitpid(pid_, &status, 0) != pid_) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    int to_child_[2] = {-1, -1};
    int to_parent_[2] = {-1, -1};
    pid_t pid_ = -1;
    testutil::PidReaper reaper_;
};

std::map<std::string, int> Items(const char* procname) {
    std::map<std::string, int> items;
    zu_log_nextitem(nullptr, nullptr, nullptr, 0);
    zu_shmitem_t item;
    while (zu_log_nextitem(procname, &item, nullptr, 0) == 1)
        items[std::string(item.name, strnlen(item.name, 32))] = item.value;
    return items;
}

std::map<std::string, pid_t> Procs() {
    std::map<std::string, pid_t> procs;
    zu_log_nextproc(nullptr, nullptr);
    zu_shmproc_t p;
    while (zu_log_nextproc(nullptr, &p) == 1) procs[std::string(p.name, strnlen(p.name, 256))] = p.pid;
    return procs;
}

// A test with a segment of its own, created and attached.
class ZuShmTable : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, zu_log_shmcreate()); }
    void TearDown() override { zu_log_detachshm(); }

    testkeys::OwnShmKeys keys_;
};

TEST_F(ZuShmTable, RegisterPublishReadAndUnregisterAcrossProcesses) {
    testutil::TempDir dir;
    EXPECT_EQ(-1, zu_log_shmcreate());  // exists already
    Child child([&](Child& self) {
        zu_logstat_t st = {255, 0, 0};
        if (zu_openlog(dir.path().c_str(), "worker_one", &st, 0, nullptr) != 0) return 10;
        if (zu_log_additem("requests", 5) != 0 || zu_log_additem("errors", 0) != 0) return 11;
        if (zu_log_additem(std::string(32, 'n').c_str(), 1) != -1) return 12;
        if (zu_log_setitem(zu_log_finditem("requests"), 42) != 0) return 13;
        if (zu_log_incitem(zu_log_finditem("errors"), 3) != 0 || zu_log_finditem("none") != -1) return 14;
        if (zu_log_setitem(ZU_SHM_ITEMS, 1) != -1) return 15;
        self.Tell();
        if (!self.Await()) return 16;
        zu_closelog(0);
        self.Tell();
        return self.Await() ? 0 : 17;
    });
    ASSERT_TRUE(child.AwaitChild());

    EXPECT_EQ((std::map<std::string, pid_t>{{"worker_one", child.pid()}}), Procs());
    ASSERT_EQ(0, zu_log_openproc("worker_one"));
    int value = 0;
    EXPECT_EQ(0, zu_log_getitem("requests", &value));
    EXPECT_EQ(42, value);
    EXPECT_EQ(-1, zu_log_getitem("latency", &value));
    char status[16];
    EXPECT_EQ(0, zu_log_getstatus(status, sizeof(status)));
    EXPECT_STREQ("@NULL@", status);
    EXPECT_EQ((std::map<std::string, int>{{"requests", 42}, {"errors", 3}}), Items("worker_one"));
    EXPECT_EQ(0, zu_log_nextitem(nullptr, nullptr, status, sizeof(status)));  // status unset
    zu_log_nextitem(nullptr, nullptr, nullptr, 0);
    EXPECT_EQ(0, zu_log_nextitem("nobody", nullptr, status, sizeof(status)));
    EXPECT_EQ(-1, zu_log_openproc("nobody"));
    EXPECT_EQ(-1, zu_log_getitem("requests", &value));

    // Clearing one item and then the whole entry, from this process.
    EXPECT_EQ(0, zu_log_shmclear("worker_one", "errors", 0));
    EXPECT_EQ(-1, zu_log_shmclear("worker_one", "errors", 0));
    EXPECT_EQ((std::map<std::string, int>{{"requests", 42}}), Items("worker_one"));

    child.Signal();
    ASSERT_TRUE(child.AwaitChild());
    EXPECT_TRUE(Procs().empty());
    ASSERT_EQ(0, zu_log_openproc("@NULL@"));
    child.Signal();
    EXPECT_EQ(0, child.Exit());
}

TEST_F(ZuShmTable, SameNameReusesItsEntryAndResetsItsItems) {
    EXPECT_EQ(0, zu_log_shmregister("svc"));
    EXPECT_EQ(0, zu_log_additem("hits", 7));
    EXPECT_EQ(0, zu_log_shmregister("svc"));
    EXPECT_TRUE(Items("svc").empty());
    EXPECT_EQ(0, zu_log_shmregister(std::string(300, 'l').c_str()));  // stored cut, found cut
    EXPECT_EQ(2u, Procs().size());
    EXPECT_EQ(0, zu_log_nextproc(std::string(300, 'l').c_str(), nullptr));
    zu_shmproc_t p;
    EXPECT_EQ(1, zu_log_nextproc(std::string(300, 'l').c_str(), &p));
    EXPECT_EQ(0, zu_log_shmunregister());
    EXPECT_EQ(0, zu_log_shmclear(nullptr, nullptr, 0));
    EXPECT_TRUE(Procs().empty());
    zu_log_detachshm();
    EXPECT_EQ(-1, zu_log_additem("late", 1));
    zu_log_openproc("svc");  // attaches read-only
    EXPECT_EQ(-1, zu_log_shmclear(nullptr, nullptr, 0));
}

TEST_F(ZuShmTable, HeldSemaphoreGivesUpWithinItsBound) {
    zu_log_setshmwait(300);
    ASSERT_EQ(0, zu_log_shmregister("first"));
    // Another process takes the semaphore and stops holding it.
    Child holder([&](Child& self) {
        struct sembuf take = {0, -1, 0};
        if (semop(semget(keys_.sem_key(), 1, 0), &take, 1) != 0) return 1;
        self.Tell();
        raise(SIGSTOP);
        return 0;
    });
    ASSERT_TRUE(holder.AwaitChild());
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, zu_log_shmregister("second"));
    EXPECT_EQ(-1, zu_log_shmunregister());
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::seconds(3));
    EXPECT_GE(elapsed, std::chrono::milliseconds(500));
    EXPECT_EQ((std::map<std::string, pid_t>{{"first", getpid()}}), Procs());
}

TEST(ZuShm, SegmentTooSmallIsNotAttached) {
    testkeys::OwnShmKeys keys;
    // A semaphore already there: the new segment is not left behind without one.
    ASSERT_NE(-1, semget(keys.sem_key(), 1, IPC_CREAT | IPC_EXCL | 0600));
    EXPECT_EQ(-1, zu_log_shmcreate());
    EXPECT_EQ(-1, shmget(keys.shm_key(), 0, 0));
    keys.Remove();

    ASSERT_NE(-1, shmget(keys.shm_key(), 4096, IPC_CREAT | IPC_EXCL | 0600));
    EXPECT_EQ(-1, zu_log_attachshm());
    EXPECT_EQ(0, zu_log_shmregister("small"));
    zu_shmproc_t entry;
    EXPECT_EQ(-1, zu_log_nextproc(nullptr, &entry));

    // Made for 100 items, read by a process set for 200: refused as well.
    keys.Remove();
    ASSERT_EQ(0, zu_log_shmcreate());
    zu_log_detachshm();
    EXPECT_EQ(200, zu_log_setshmitems(200));
    EXPECT_EQ(-1, zu_log_attachshm());
    EXPECT_EQ(ZU_SHM_ITEMS, zu_log_setshmitems(99));
    EXPECT_EQ(0, zu_log_attachshm());
    zu_log_detachshm();
}

TEST_F(ZuShmTable, UnterminatedNamesAreReadWithinTheirFields) {
    ASSERT_EQ(0, zu_log_shmregister("items"));
    ASSERT_EQ(0, zu_log_additem("x", 1));
    ASSERT_EQ(0, zu_log_shmregister("named"));
    // Another program fills a name of each kind to the last byte.
    char* base = static_cast<char*>(shmat(shmget(keys_.shm_key(), 0, 0), nullptr, 0));
    ASSERT_NE(reinterpret_cast<char*>(-1), base);
    auto* named = reinterpret_cast<zu_shmproc_t*>(base) + 1;
    ASSERT_STREQ("named", named->name);
    memset(named->name, 'p', sizeof(named->name));
    auto* item = reinterpret_cast<zu_shmitem_t*>(base + ZU_SHM_PROCS * sizeof(zu_shmproc_t));
    ASSERT_STREQ("x", item->name);
    memset(item->name, 'i', sizeof(item->name));
    shmdt(base);

    EXPECT_EQ((std::map<std::string, pid_t>{{"items", getpid()}, {std::string(256, 'p'), getpid()}}), Procs());
    EXPECT_EQ(-1, zu_log_openproc(std::string(256, 'p').c_str()));
    EXPECT_EQ((std::map<std::string, int>{{std::string(32, 'i'), 1}}), Items("items"));
    ASSERT_EQ(0, zu_log_openproc("items"));
    int value = 0;
    EXPECT_EQ(-1, zu_log_getitem(std::string(32, 'i').c_str(), &value));
}

TEST(ZuShm, ReaderWithoutSegmentEndsWithStatusOne) {
    testkeys::OwnShmKeys keys;
    Child reader([](Child&) { return zu_log_openproc("any"); });
    EXPECT_EQ(1, reader.Exit());
}

}  // namespace
