// The network wrappers on real sockets: grants, connects with a time limit, timed
// transfers, line readers and Unix listeners.
#include "zulib/zu_net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <sys/un.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "own_files.h"
#include "zu_test_log.h"
#include "zulib/zu_conf.h"

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

int PortOf(int fd) {
    sockaddr_in a = {};
    socklen_t len = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

sockaddr_in Loopback(int port) {
    sockaddr_in a;
    zu_setsockaddr(&a, "127.0.0.1", port);
    return a;
}

bool Open(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(ZuNet, GrantPatterns) {
    const std::string long_first = std::string(300, '1') + ";1.2.3.4";
    struct {
        const char* ip;
        const char* list;
        int want;
    } cases[] = {
        {"192.168.1.77", "127.0.0.1;192.168.1.*", 1}, {"192.168.2.1", "127.0.0.1;192.168.1.*", 0},
        {"127.0.0.1", "127.0.0.1;192.168.1.*", 1},    {"10.2.200.9", "10.1-3.*.*", 1},
        {"10.4.0.1", "10.1-3.*.*", 0},                {"10.2.0.1", "10.*", 0},
        {"10.2.0.1", "10.*;10.2.0.1", 1},             {"1.2.3.4", "", 1},
        {"1.2.3.4", "x.2.3.4;1.2.3.4", 1},            {"1.2.3.4", "1.2.3", 0},
        {"1.2.3.4", long_first.c_str(), 1},
    };
    for (const auto& c : cases) EXPECT_EQ(c.want, zu_ipaccess_check(c.ip, c.list)) << c.ip << " " << c.list;
    EXPECT_EQ(1, zu_ipaccess_check("1.2.3.4", nullptr));

    EXPECT_EQ(0, zu_ipaccess_grant_init(nullptr));
    EXPECT_STREQ("127.0.0.1;192.168.1.*", zu_ipaccess_grant);
    zu_conftable_t* table = zu_initconf(0);
    ASSERT_EQ(1, zu_addconfstr(table, "ip-access-grant", "10.0.0.*"));
    zu_ipaccess_grant_init(table);
    EXPECT_STREQ("10.0.0.*", zu_ipaccess_grant);
    zu_freeconf(table);
}

TEST(ZuNet, AcceptChecksTheGrantList) {
    testutil::TempDir dir;
    zutest::ProcessLog log(dir.path());
    int listener = zu_tcplisten(0, 0);
    ASSERT_GE(listener, 0);
    struct {
        const char* grant;
        bool granted;
    } cases[] = {{"", true}, {"127.0.0.*", true}, {"10.*.*.*", false}};
    for (const auto& c : cases) {
        snprintf(zu_ipaccess_grant, sizeof(zu_ipaccess_grant), "%s", c.grant);
        sockaddr_in to = Loopback(PortOf(listener));
        int client = zu_tcpconnect(&to);
        ASSERT_GE(client, 0);
        int conn = zu_accept(listener, nullptr, nullptr);
        EXPECT_EQ(c.granted, conn >= 0) << c.grant;
        if (conn >= 0) zu_sclose(conn);
        zu_sclose(client);
    }
    std::vector<std::string> lines = log.Messages("WARNING: ");
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("When server listened on port " + std::to_string(PortOf(listener)) +
                  " a client from ip 127.0.0.1 try to connect.",
              lines[0]);
    zu_sclose(listener);
}

// A listener whose queue is full drops further connection requests unanswered.
TEST(ZuNet, ConnectEndsWithinItsLimitAndKeepsANoCloseDescriptor) {
    int silent = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in any = Loopback(0);
    ASSERT_EQ(0, bind(silent, reinterpret_cast<sockaddr*>(&any), sizeof(any)));
    ASSERT_EQ(0, listen(silent, 0));
    sockaddr_in to_silent = Loopback(PortOf(silent));
    std::vector<int> queued;
    for (int i = 0; i < 3; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (zu_connecto_ms(fd, reinterpret_cast<sockaddr*>(&to_silent), sizeof(to_silent), 200) == 0) queued.push_back(fd);
    }
    int gone = zu_tcplisten(0, 1);
    sockaddr_in to_gone = Loopback(PortOf(gone));
    zu_sclose(gone);
    struct {
        sockaddr_in* to;
        bool noclose;
        int want_errno;
    } cases[] = {{&to_silent, false, ETIMEDOUT}, {&to_silent, true, ETIMEDOUT},
                 {&to_gone, false, ECONNREFUSED}, {&to_gone, true, ECONNREFUSED}};
    for (const auto& c : cases) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        auto start = Clock::now();
        const sockaddr* to = reinterpret_cast<sockaddr*>(c.to);
        int ret = c.noclose ? zu_connecto_ms_noclose(fd, to, sizeof(sockaddr_in), 300)
                            : zu_connecto_ms(fd, to, sizeof(sockaddr_in), 300);
        EXPECT_EQ(-1, ret);
        EXPECT_EQ(c.want_errno, errno);
        EXPECT_LT(MsSince(start), 2000);
        EXPECT_EQ(c.noclose, Open(fd));
        if (c.noclose) {
            EXPECT_EQ(0, fcntl(fd, F_GETFL) & O_NONBLOCK);
            close(fd);
        }
    }
    EXPECT_EQ(-1, zu_tcpconnecto_ms("127.0.0.1", PortOf(silent), 200));
    EXPECT_EQ(ETIMEDOUT, errno);
    for (int fd : queued) close(fd);
    close(silent);
}

// Host names resolve through /etc/hosts (a file of the test's own, in a child) and the
// connect reaches the listener; a name nothing knows fails.
TEST(ZuNet, ConnectsByHostName) {
    int listener = zu_tcplisten(0, 0);
    ASSERT_GE(listener, 0);
    const int port = PortOf(listener);
    std::string report;
    bool ran = testutil::RunWithOwnFiles(
        {{"/etc/hosts", "127.0.0.1 localhost\n127.0.0.1 logs.tendwell-test logs\n"},
         {"/etc/resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n"}},
        [&] {
            std::string out;
            for (const char* host : {"127.0.0.1", "localhost", "logs.tendwell-test", "logs", "nowhere.tendwell-test"}) {
                char text[INET6_ADDRSTRLEN] = "";
                int found = zu_gethostip(host, nullptr, 0, text);
                int fd = zu_tcpconnecto_ms(host, port, 1000);
                int conn = fd >= 0 ? accept(listener, nullptr, nullptr) : -1;
                out += std::string(host) + " " + std::to_string(found) + " " + text + (conn >= 0 ? " connects" : "") + "\n";
                if (fd >= 0) close(fd);
                if (conn >= 0) close(conn);
            }
            return out;
        },
        &report, 20000);
    zu_sclose(listener);
    if (!ran) GTEST_SKIP() << "no mount namespace here";
    EXPECT_EQ(
        "127.0.0.1 0 127.0.0.1 connects\n"
        "localhost 0 127.0.0.1 connects\n"
        "logs.tendwell-test 0 127.0.0.1 connects\n"
        "logs 0 127.0.0.1 connects\n"
        "nowhere.tendwell-test -2 \n",
        report);
}

TEST(ZuNet, TimedTransfers) {
    const std::string big(8 << 20, 'x');
    std::vector<char> sink(big.size());
    struct iovec out_iov[2] = {{const_cast<char*>(big.data()), big.size() / 2},
                               {const_cast<char*>(big.data()) + big.size() / 2, big.size() / 2}};
    struct Case {
        const char* name;
        bool peer_closed;
        std::function<ssize_t(int)> call;
        ssize_t want;
        int want_errno;
    } cases[] = {
        {"read, nothing comes", false, [&](int fd) { return zu_sreado_ms(fd, sink.data(), 4, 100); }, -1, ETIMEDOUT},
        {"recv, no wait allowed", false, [&](int fd) { return zu_srecvo_ms(fd, sink.data(), 4, 0); }, -1, ETIMEDOUT},
        {"recv, nothing comes", false, [&](int fd) { return zu_srecvo_ms(fd, sink.data(), 4, 100); }, -1, ETIMEDOUT},
        {"write, peer stops reading", false, [&](int fd) { return zu_swriteo_ms(fd, big.data(), big.size(), 200); },
         -1, ETIMEDOUT},
        {"send, peer stops reading", false, [&](int fd) { return zu_ssendo_ms(fd, big.data(), big.size(), 200); },
         -1, ETIMEDOUT},
        {"writev, peer stops reading", false, [&](int fd) { return zu_swritevo_ms(fd, out_iov, 2, 200); }, -1,
         ETIMEDOUT},
        {"writev, no entries", false, [&](int fd) { return zu_swritevo_ms(fd, out_iov, 0, 200); }, -1, EINVAL},
        {"write, peer gone", true, [&](int fd) { return zu_swriteo_ms(fd, big.data(), 10, 200); }, -1, EPIPE},
        {"send, peer gone", true, [&](int fd) { return zu_ssendo_ms(fd, big.data(), 10, 200); }, -1, EPIPE},
        {"writev, peer gone", true, [&](int fd) { return zu_swritevo_ms(fd, out_iov, 2, 200); }, -1, EPIPE},
        {"read, end of stream", true, [&](int fd) { return zu_sreado_ms(fd, sink.data(), 4, 100); }, 0, 0},
    };
    for (const Case& c : cases) {
        int pair[2];
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
        if (c.peer_closed) close(pair[1]);
        auto start = Clock::now();
        errno = 0;
        EXPECT_EQ(c.want, c.call(pair[0])) << c.name;
        if (c.want_errno) {
            EXPECT_EQ(c.want_errno, errno) << c.name;
        }
        EXPECT_LT(MsSince(start), 2000) << c.name;
        close(pair[0]);
        if (!c.peer_closed) close(pair[1]);
    }
}

// Sends SIGALRM to the calling thread every period_ms while it lives; the handler does
// nothing, so only the interrupted calls notice.
class SignalTimer {
public:
    explicit SignalTimer(int period_ms) {
        struct sigaction act = {};
        act.sa_handler = [](int) {};
        sigaction(SIGALRM, &act, &saved_);
        struct sigevent ev = {};
        ev.sigev_notify = SIGEV_THREAD_ID;
        ev.sigev_signo = SIGALRM;
        ev._sigev_un._tid = static_cast<pid_t>(syscall(SYS_gettid));
        timer_create(CLOCK_MONOTONIC, &ev, &timer_);
        struct itimerspec every = {{0, period_ms * 1000000L}, {0, period_ms * 1000000L}};
        timer_settime(timer_, 0, &every, nullptr);
    }
    ~SignalTimer() {
        timer_delete(timer_);
        sigaction(SIGALRM, &saved_, nullptr);
    }

private:
    struct sigaction saved_;
    timer_t timer_;
};

// A signal every 30 ms must not restart the time-out of a 300 ms transfer. Should one
// wait on regardless, the peer hangs up after 3 s, which ends it with another result.
TEST(ZuNet, TimedTransfersEndUnderSignals) {
    const std::string big(8 << 20, 'x');
    std::vector<char> sink(64);
    struct iovec out_iov[2] = {{const_cast<char*>(big.data()), big.size() / 2},
                               {const_cast<char*>(big.data()) + big.size() / 2, big.size() / 2}};
    struct iovec in_iov[2] = {{sink.data(), 4}, {sink.data() + 4, 4}};
    struct {
        const char* name;
        std::function<ssize_t(int)> call;
    } cases[] = {
        {"recv", [&](int fd) { return zu_srecvo_ms(fd, sink.data(), 4, 300); }},
        {"send", [&](int fd) { return zu_ssendo_ms(fd, big.data(), big.size(), 300); }},
        {"readv", [&](int fd) { return zu_sreadvo_ms(fd, in_iov, 2, 300); }},
        {"writev", [&](int fd) { return zu_swritevo_ms(fd, out_iov, 2, 300); }},
        {"read", [&](int fd) { return zu_sreado_ms(fd, sink.data(), 4, 300); }},
        {"write", [&](int fd) { return zu_swriteo_ms(fd, big.data(), big.size(), 300); }},
    };
    for (const auto& c : cases) {
        int pair[2];
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
        std::promise<void> done;
        std::thread peer([&pair, ended = done.get_future()] {
            if (ended.wait_for(std::chrono::seconds(3)) == std::future_status::timeout) shutdown(pair[1], SHUT_RDWR);
        });
        auto start = Clock::now();
        ssize_t got;
        int err;
        {
            SignalTimer timer(30);
            got = c.call(pair[0]);
            err = errno;
        }
        long took = MsSince(start);
        done.set_value();
        peer.join();
        EXPECT_EQ(-1, got) << c.name;
        EXPECT_EQ(ETIMEDOUT, err) << c.name;
        EXPECT_GE(took, 250) << c.name;
        EXPECT_LT(took, 2000) << c.name;
        close(pair[0]);
        close(pair[1]);
    }
}

TEST(ZuNet, VectorTransferArrivesWhole) {
    int pair[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
    std::string sent(3 << 20, 'a');
    for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>('a' + i % 26);
    std::string got(sent.size(), '\0');
    std::thread reader([&] {
        struct iovec in[2] = {{&got[0], 7}, {&got[7], got.size() - 7}};
        EXPECT_EQ(static_cast<ssize_t>(got.size()), zu_sreadvo_ms(pair[1], in, 2, 5000));
    });
    struct iovec out[2] = {{&sent[0], 100}, {&sent[100], sent.size() - 100}};
    EXPECT_EQ(static_cast<ssize_t>(sent.size()), zu_swritevo_ms(pair[0], out, 2, 5000));
    reader.join();
    EXPECT_TRUE(sent == got);
    close(pair[0]);
    close(pair[1]);
}

TEST(ZuNet, LineReaders) {
    struct {
        std::string input;
        int size;
        bool buffered;
        int want;
        std::string text;
    } cases[] = {
        {"ab\n", 16, false, 3, "ab\n"}, {"ab", 16, false, 3, "ab"}, {"", 16, false, 0, ""},
        {"abcdef", 4, false, 4, "abc"}, {"ab\ncd", 16, true, 3, "ab\n"}, {"ab", 16, true, 3, "ab"},
        {"", 16, true, 0, ""},
    };
    for (const auto& c : cases) {
        int pair[2];
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
        ASSERT_EQ(static_cast<ssize_t>(c.input.size()), write(pair[1], c.input.data(), c.input.size()));
        close(pair[1]);
        char buf[16];
        zu_readbuf_t state = {};
        int got = c.buffered ? zu_sreadline_buffered_ms(pair[0], buf, c.size, &state, 1000)
                             : zu_sreadline_ms(pair[0], buf, c.size, 1000);
        EXPECT_EQ(c.want, got) << c.input;
        EXPECT_EQ(c.text, buf) << c.input;
        if (c.buffered && c.input == "ab\ncd") {
            EXPECT_EQ(3, zu_sreadline_buffered_ms(pair[0], buf, c.size, &state, 1000));
            EXPECT_STREQ("cd", buf);
        }
        close(pair[0]);
    }
    int pair[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
    char buf[8];
    EXPECT_EQ(-1, zu_sreadline_ms(pair[0], buf, sizeof(buf), 100));
    EXPECT_EQ(ETIMEDOUT, errno);
    close(pair[0]);
    close(pair[1]);
}

TEST(ZuNet, UnixListenRemovesOnlyASocketAndRefusesALongPath) {
    testutil::TempDir dir;
    const std::string stale = dir / "stale.sock", plain = dir / "plain", exact = dir / std::string(100 - dir.path().size() - 1, 's');
    int old = zu_unixlisten(stale.c_str(), 1);
    ASSERT_GE(old, 0);
    close(old);
    ASSERT_TRUE(testutil::WriteFile(plain, "keep"));
    struct {
        std::string path;
        bool listens;
        int want_errno;
    } cases[] = {{stale, true, 0}, {exact, true, 0}, {plain, false, EADDRINUSE}, {exact + "x", false, ENAMETOOLONG}};
    for (const auto& c : cases) {
        int fd = zu_unixlisten(c.path.c_str(), 0);
        EXPECT_EQ(c.listens, fd >= 0) << c.path;
        if (fd < 0) {
            EXPECT_EQ(c.want_errno, errno) << c.path;
            continue;
        }
        int client = zu_unixconnect(c.path.c_str());
        EXPECT_GE(client, 0) << c.path;
        close(client);
        close(fd);
    }
    EXPECT_EQ("keep", testutil::ReadFile(plain));
    EXPECT_EQ(-1, zu_unixconnect((exact + "x").c_str()));
    EXPECT_EQ(ENAMETOOLONG, errno);
}

}  // namespace
