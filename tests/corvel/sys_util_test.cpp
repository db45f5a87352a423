// Sleeping, paths, descriptors, sockets and process helpers.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "corvel/clock.h"
#include "corvel/fd_io.h"
#include "corvel/path.h"
#include "corvel/process.h"
#include "corvel/socket.h"
#include "test_util.h"

namespace {

using testutil::WaitFor;

std::atomic<int> g_signals{0};
void CountSignal(int) { ++g_signals; }

// Sends SIGUSR1 to one thread every millisecond while it lives.
class SignalStorm {
public:
    explicit SignalStorm(pthread_t target) : target_(target), thread_([this] {
        while (!stop_) {
            pthread_kill(target_, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }) {}
    ~SignalStorm() {
        stop_ = true;
        thread_.join();
    }

private:
    pthread_t target_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(CorvelSleepTest, LastsItsFullTimeUnderASignalStorm) {
    struct sigaction count = {};
    count.sa_handler = CountSignal;
    ASSERT_EQ(0, sigaction(SIGUSR1, &count, nullptr));
    EXPECT_EQ(0, corvel::sleep_ms(0));
    uint64_t begin = corvel::monotonic_ns();
    {
        SignalStorm storm(pthread_self());
        EXPECT_EQ(0, corvel::sleep_ms(1000));
    }
    EXPECT_GE(corvel::monotonic_ns() - begin, 1000000000ULL);
    EXPECT_GT(g_signals, 100);

    SignalStorm storm(pthread_self());
    int left = corvel::sleep_ms_ex(1000, true);
    EXPECT_GT(left, 0);
    EXPECT_LT(left, 1000);
}

struct MakeDirsCase {
    const char* make;     // under the temporary directory; "" for the bare path
    const char* file;     // a regular file made first, or null
    int result;
    int error;
    const char* check;    // a directory that must then exist, or null
};

TEST(CorvelMakeDirsTest, Cases) {
    const MakeDirsCase cases[] = {
        {"a/b/c", nullptr, 0, 0, "a/b/c"},
        {"a//b///c/", nullptr, 0, 0, "a/b/c"},
        {"a/./d/../e", nullptr, 0, 0, "a/e"},
        {"f/b/c", "f", -1, ENOTDIR, nullptr},  // through a regular file
        {"f", "f", -1, ENOTDIR, nullptr},      // a regular file where the last one goes
        {"f//", "f", -1, ENOTDIR, nullptr},    // the same, named with trailing slashes
    };
    for (const auto& c : cases) {
        testutil::TempDir dir;
        if (c.file) {
            ASSERT_TRUE(testutil::WriteFile(dir / c.file, "x"));
        }
        std::string path = dir / c.make;
        errno = 0;
        EXPECT_EQ(c.result, corvel::make_dirs(path.c_str(), 0755)) << c.make;
        if (c.result != 0) {
            EXPECT_EQ(c.error, errno) << c.make;
        }
        struct stat st;
        if (c.check) {
            EXPECT_TRUE(stat((dir / c.check).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) << c.make;
        }
    }
    errno = 0;
    EXPECT_EQ(-1, corvel::make_dirs("", 0755));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(-1, corvel::make_dirs(nullptr, 0755));
}

TEST(CorvelNormalizePathTest, Cases) {
    const struct {
        const char* in;
        bool trim;
        const char* out;
    } cases[] = {
        {"/a//b/./c/../d/", false, "/a/b/d"}, {"a\\b", false, "a/b"},
        {"../x/../../y", false, "../../y"},   {"", false, "."},
        {" \t/tmp/x \t", true, "/tmp/x"},     {" a ", false, " a "},
        {"/..", false, "/"},                  {"a/..", false, "."},
        {"./", false, "."},                   {"/", false, "/"},
        {"//\\", false, "/"},                 {".hidden/.../x", false, ".hidden/.../x"},
        {"x/../..", false, ".."},             {"/a/b/../../..", false, "/"},
        {"a/b/../c/.", false, "a/c"},         {"   ", true, "."},
    };
    for (const auto& c : cases) {
        char* out = corvel::normalize_path(c.in, c.trim);
        ASSERT_NE(nullptr, out) << c.in;
        EXPECT_STREQ(c.out, out) << "'" << c.in << "'";
        free(out);
    }
    errno = 0;
    EXPECT_EQ(nullptr, corvel::normalize_path(nullptr, false));
    EXPECT_EQ(EINVAL, errno);
}

TEST(CorvelDescriptorTest, CloseAndTimedTransfers) {
    errno = 0;
    EXPECT_EQ(-1, corvel::close_fd(-1));
    EXPECT_EQ(EINVAL, errno);
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    char buf[8] = {};
    errno = 0;
    EXPECT_EQ(-1, corvel::read_some(fds[0], buf, sizeof buf, 50));
    EXPECT_EQ(ETIMEDOUT, errno);
    EXPECT_EQ(0, fcntl(fds[0], F_GETFL) & O_NONBLOCK);  // flags restored
    ASSERT_EQ(3, corvel::write_all(fds[1], "abc", 3, 1000));
    errno = 0;
    EXPECT_EQ(3, corvel::read_all(fds[0], buf, sizeof buf, 50));  // the part that came
    EXPECT_EQ(ETIMEDOUT, errno);
    // Without time-out a whole read goes on after a short one, until end of input.
    std::thread writer([&] {
        corvel::write_fd(fds[1], "de", 2);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        corvel::write_fd(fds[1], "fg", 2);
        corvel::close_fd(fds[1]);
    });
    EXPECT_EQ(4, corvel::read_all(fds[0], buf, sizeof buf, -1));
    writer.join();
    EXPECT_EQ(0, memcmp(buf, "defg", 4));
    EXPECT_EQ(0, corvel::close_fd(fds[0]));
    errno = 0;
    EXPECT_EQ(-1, corvel::close_fd(fds[0]));
    EXPECT_EQ(EBADF, errno);
}

TEST(CorvelDescriptorTest, FlagsAndBitmap) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    EXPECT_EQ(0, corvel::set_nonblocking(fds[0]));
    EXPECT_EQ(0, corvel::set_nonblocking(fds[0]));
    EXPECT_NE(0, fcntl(fds[0], F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(0, corvel::clear_nonblocking(fds[0]));
    EXPECT_EQ(0, fcntl(fds[0], F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(0, corvel::set_cloexec(fds[1]));
    EXPECT_NE(0, fcntl(fds[1], F_GETFD) & FD_CLOEXEC);
    close(fds[0]);
    close(fds[1]);
    uint64_t bitmap[corvel::kFdBitmapWords] = {};
    EXPECT_EQ(70, corvel::fd_bitmap_add(3, 70, bitmap));
    EXPECT_EQ(70, corvel::fd_bitmap_add(70, 51200, bitmap));  // out of range: ignored
    EXPECT_EQ(51199, corvel::fd_bitmap_add(70, 51199, bitmap));
    EXPECT_EQ(1ULL << 6, bitmap[1]);
    EXPECT_EQ(1ULL << 63, bitmap[799]);
}

TEST(CorvelSocketTest, AcceptAndConnectWithTimeouts) {
    int server = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(server, 0);
    ASSERT_EQ(0, corvel::set_reuseaddr(server));
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(0, bind(server, reinterpret_cast<sockaddr*>(&addr), len));
    ASSERT_EQ(0, getsockname(server, reinterpret_cast<sockaddr*>(&addr), &len));
    ASSERT_EQ(0, corvel::listen_fd(server, 4));
    errno = 0;
    EXPECT_EQ(-1, corvel::accept_timeout(server, nullptr, nullptr, 50));
    EXPECT_EQ(ETIMEDOUT, errno);
    int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(0, corvel::connect_timeout(client, reinterpret_cast<sockaddr*>(&addr), len, 1000));
    int accepted = corvel::accept_timeout(server, nullptr, nullptr, 1000);
    ASSERT_GE(accepted, 0);
    EXPECT_EQ(0, corvel::socket_error(client));
    close(accepted);
    close(client);
    close(server);  // nothing listens there now
    client = socket(AF_INET, SOCK_STREAM, 0);
    errno = 0;
    EXPECT_EQ(-1, corvel::connect_timeout(client, reinterpret_cast<sockaddr*>(&addr), len, 1000));
    EXPECT_EQ(ECONNREFUSED, errno);
    close(client);
}

TEST(CorvelProcessTest, ParseUint) {
    const struct {
        const char* text;
        int value;
    } cases[] = {{"0", 0}, {"42", 42}, {"2147483647", 2147483647}, {"2147483648", -1},
                 {"", -1}, {"12a", -1}, {"-1", -1}, {" 1", -1}};
    for (const auto& c : cases) EXPECT_EQ(c.value, corvel::parse_uint(c.text)) << c.text;
    EXPECT_EQ(-1, corvel::parse_uint(nullptr));
}

TEST(CorvelProcessTest, FdLimitFallsBackToTheHardLimit) {
    struct rlimit old;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &old));
    EXPECT_EQ(256, corvel::set_fd_limit(256));
    // Beyond what the kernel allows: both limits go to the old hard one.
    int hard = old.rlim_max == RLIM_INFINITY ? -1 : static_cast<int>(old.rlim_max);
    EXPECT_EQ(hard, corvel::set_fd_limit(2000000000));
}

TEST(CorvelProcessTest, IntervalTimerRepeatsUntilDisarmed) {
    signal(SIGALRM, CountSignal);
    ASSERT_EQ(0, corvel::set_interval_timer(10));
    EXPECT_TRUE(WaitFor([] { return g_signals >= 3; }, 5000));
    ASSERT_EQ(0, corvel::set_interval_timer(-1));
    struct itimerval now;
    ASSERT_EQ(0, getitimer(ITIMER_REAL, &now));
    EXPECT_EQ(0, now.it_value.tv_sec + now.it_value.tv_usec + now.it_interval.tv_usec);
}

}  // namespace
