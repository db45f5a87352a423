// The network log end to end against a stand-in log server, the server list and the
// message head.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <set>

#include "log_server.h"
#include "log_test_util.h"
#include "plume/plume_event.h"
#include "sendsvr/loghead.h"
#include "sendsvr/server_list.h"

namespace {

using testutil::StandInLogServer;
using namespace plumespace;

std::unique_ptr<plume_device_t> NetDevice(const std::string& list, const char* file, const char* type = "NET") {
    auto dev = logtest::FileDevice(list, file);
    snprintf(dev->type, sizeof(dev->type), "%s", type);
    return dev;
}

// The messages of the lines, banners left out.
std::vector<std::string> Messages(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const std::string& line : lines)
        if (line.find("------------") == std::string::npos) out.push_back(line.substr(line.rfind(' ') + 1));
    return out;
}

// Backup files are made relative to the working directory.
class NetLog : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, chdir(dir_.path().c_str())); }
    void TearDown() override { EXPECT_EQ(0, chdir("/")); }
    testutil::TempDir dir_;
};

TEST_F(NetLog, OneSenderServesEveryDeviceOfTheList) {
    StandInLogServer server;
    const std::string list = server.Address() + "/logs";
    auto net = NetDevice(list, "a.log");
    net->log_mask = 1 << PLUME_LOG_WARNING;
    snprintf(net->auth, sizeof(net->auth), "secret");
    net->compress = 1;
    auto zunet = NetDevice(" " + list, "z.log", "ZUNET");
    plume_device_t devs[2] = {*net, *zunet};
    const uint32_t start = static_cast<uint32_t>(time(nullptr));
    ASSERT_EQ(0, plume_openlog("nettest", devs, 2, nullptr));
    std::vector<std::string> notices, warnings;
    for (int i = 0; i < 300; ++i) {
        notices.push_back("n" + std::to_string(i));
        plume_writelog(PLUME_LOG_NOTICE, "%s", notices.back().c_str());
        if (i % 50 == 0) {
            warnings.push_back("w" + std::to_string(i));
            plume_writelog(PLUME_LOG_WARNING, "%s", warnings.back().c_str());
        }
    }
    EXPECT_TRUE(testutil::WaitFor([&] { return Messages(server.Lines("z.log")).size() == notices.size(); }, 10000));
    EXPECT_EQ(0, plume_closelog(5000));
    EXPECT_EQ(notices, Messages(server.Lines("z.log")));
    EXPECT_EQ(warnings, Messages(server.Lines("z.log.wf")));
    EXPECT_EQ(warnings, Messages(server.Lines("a.log")));
    EXPECT_EQ(1, server.Connections());
    std::set<uint32_t> handles;
    for (const auto& open : server.Opens()) {
        EXPECT_EQ("logs", open.path);
        EXPECT_EQ(123u, open.log_id);
        EXPECT_EQ(open.file == "a.log" ? "secret" : "", open.auth);
        EXPECT_EQ(open.file == "a.log" ? 1u : 0u, open.compress);
        handles.insert(open.handle);
    }
    EXPECT_EQ(3u, handles.size());
    for (const auto& run : server.Runs()) {
        EXPECT_EQ(1u, handles.count(run.handle));
        EXPECT_GE(run.time, start);
        EXPECT_LE(run.time, static_cast<uint32_t>(time(nullptr)));
        EXPECT_EQ('\n', run.bytes.back());
    }
    EXPECT_EQ("", testutil::ReadFile("logs/a.log"));
}

TEST_F(NetLog, DeviceAddedWhileConnectedIsOpenedBeforeItsLines) {
    StandInLogServer server;
    auto first = NetDevice(server.Address(), "first.log");
    ASSERT_EQ(0, plume_openlog("nettest", first.get(), 1, nullptr));
    plume_writelog(PLUME_LOG_NOTICE, "one");
    ASSERT_TRUE(testutil::WaitFor([&] { return Messages(server.Lines("first.log")).size() == 1; }, 10000));
    auto later = NetDevice(server.Address(), "later.log");
    ASSERT_EQ(0, plume_add_selflog(later.get(), 1, nullptr));
    plume_writelog(PLUME_LOG_NOTICE, "two");
    EXPECT_TRUE(testutil::WaitFor([&] { return Messages(server.Lines("later.log")).size() == 1; }, 10000));
    plume_closelog(5000);
    EXPECT_EQ(std::vector<std::string>({"two"}), Messages(server.Lines("later.log")));
    EXPECT_EQ(1, server.Connections());
}

TEST_F(NetLog, LinesGoToTheNextServerOrTheBackup) {
    struct {
        const char* name;
        bool first_down;   // before the open
        int first_error;   // answer to every open request
        bool first_fails;  // down after the first line
        bool second;       // the list names a second server
        bool to_second;    // else to the backup file
        const char* cause;  // of the failure, in the diagnostics
    } cases[] = {
        {"first_down", true, 0, false, true, true, "err[Connection refused]"},
        {"log_refused", false, 5, false, true, false, "] or reopen err Connection refused"},
        {"server_goes_down", false, 0, true, false, false, "] Broken pipe"},
    };
    for (const auto& c : cases) {
        logtest::StderrCapture diagnostics(dir_ / "stderr");
        StandInLogServer first, second;
        if (c.first_down) first.Down();
        first.SetOpenError(c.first_error);
        std::string list = first.Address() + "/" + c.name + (c.second ? " " + second.Address() : "");
        auto dev = NetDevice(list, "app.log");
        ASSERT_EQ(0, plume_openlog("nettest", dev.get(), 1, nullptr)) << c.name;
        if (c.first_fails) {
            plume_writelog(PLUME_LOG_NOTICE, "before");
            ASSERT_TRUE(testutil::WaitFor([&] { return Messages(first.Lines("app.log")).size() == 1; }, 10000));
            first.Down();
        }
        plume_writelog(PLUME_LOG_NOTICE, "after");
        const std::string backup = std::string(c.name) + "/app.log";
        auto arrived = [&] {
            if (c.to_second) return Messages(second.Lines("app.log")).size() == 1;
            return Messages(logtest::Lines(testutil::ReadFile(backup))) == std::vector<std::string>({"after"});
        };
        EXPECT_TRUE(testutil::WaitFor(arrived, 10000)) << c.name;
        plume_closelog(5000);
        EXPECT_EQ(!c.first_down, !first.Opens().empty()) << c.name;
        EXPECT_EQ(c.to_second, Messages(second.Lines("app.log")) == std::vector<std::string>({"after"})) << c.name;
        EXPECT_EQ(c.to_second, testutil::ReadFile(backup).find("after") == std::string::npos) << c.name;
        const std::string err = diagnostics.text();
        EXPECT_NE(std::string::npos, err.find(c.cause)) << c.name << ":\n" << err;
        // What the connect left in errno is no cause of a later failure.
        EXPECT_EQ(std::string::npos, err.find("Operation now in progress")) << c.name << ":\n" << err;
    }
}

// The send waits at most its time-out for a server that stops reading; the batch then
// goes to the backup file: exactly its lines, each once, byte for byte.
TEST_F(NetLog, ServerThatStopsReadingLeavesItsLinesWholeInTheBackup) {
    StandInLogServer server;
    auto dev = NetDevice(server.Address() + "/stalled", "app.log");
    plume_set_loglength(64 * 1024);
    ASSERT_EQ(0, plume_openlog("nettest", dev.get(), 1, nullptr));
    std::vector<std::string> lines;
    for (int i = 0; i < 200; ++i) lines.push_back(std::to_string(i) + std::string(60000, static_cast<char>('a' + i % 26)));
    {
        logtest::StepThread writer;  // a new thread takes the longer line length
        writer.Run([&] {
            plume_writelog(PLUME_LOG_NOTICE, "first");
            ASSERT_TRUE(testutil::WaitFor([&] { return Messages(server.Lines("app.log")).size() == 1; }, 10000));
            server.SetReading(false);
            for (const std::string& line : lines) plume_writelog(PLUME_LOG_NOTICE, "%s", line.c_str());
            plume_closelog_r();
        });
    }
    plume_set_loglength(0);
    std::string backup;
    EXPECT_TRUE(testutil::WaitFor(
        [&] {
            backup = testutil::ReadFile("stalled/app.log");
            return backup.find(lines.back() + "\n") != std::string::npos;
        },
        30000));
    server.SetReading(true);
    plume_closelog(0);
    EXPECT_EQ(std::string::npos, backup.find('\0'));
    // The lines sent before the server stalled are not in it; every later one is.
    std::vector<int> got, want;
    for (const std::string& message : Messages(logtest::Lines(backup))) {
        auto at = std::find(lines.begin(), lines.end(), message);
        got.push_back(at == lines.end() ? -1 : static_cast<int>(at - lines.begin()));
    }
    for (int i = static_cast<int>(lines.size() - std::min(got.size(), lines.size())); i < 200; ++i) want.push_back(i);
    EXPECT_EQ(want, got);
}

TEST(ServerList, Parses) {
    std::string many;
    for (int i = 0; i < 33; ++i) many += "h" + std::to_string(i) + ":80 ";
    struct {
        std::string list;
        int want;
        const char* first_path;
    } cases[] = {
        {"A:8000/logs B:8000", 2, "logs"}, {"  A:1\tB:65535", 2, ""}, {many, 32, ""}, {"A:0", -1, ""},
        {"A", -1, ""},  {"A:65536", -1, ""}, {"A:80x", -1, ""}, {":80", -1, ""}, {"   ", -1, ""},
    };
    std::vector<LogServer> servers(MAX_LOG_SERVERS);
    for (const auto& c : cases) {
        EXPECT_EQ(c.want, parse_server_list(c.list.c_str(), servers.data(), MAX_LOG_SERVERS)) << c.list;
        if (c.want > 0) {
            EXPECT_STREQ(c.first_path, servers[0].path) << c.list;
            EXPECT_EQ(-1, servers[0].socket);
        }
    }
    ASSERT_EQ(2, parse_server_list("A:8000/logs B:8000", servers.data(), MAX_LOG_SERVERS));
    EXPECT_STREQ("B", servers[1].host);
    EXPECT_EQ(8000, servers[1].port);
}

TEST(LogHead, ChecksWhatItReads) {
    auto head_bytes = [](uint32_t magic, uint32_t body_len) {
        loghead_t h = {};
        h.log_id = 7;
        h.magic = magic;
        h.body_len = body_len;
        unsigned char wire[LOGHEAD_SIZE];
        loghead_encode(h, wire);
        return std::string(reinterpret_cast<char*>(wire), sizeof(wire));
    };
    struct {
        const char* name;
        std::string bytes;  // sent, then the writer hangs up
        int want;
        const char* line;  // the diagnostic, "" none
    } cases[] = {
        {"whole", head_bytes(LOGHEAD_MAGIC, 6) + "reqres", 0, ""},
        {"magic", head_bytes(1, 6) + "reqres", -EBADF, "<7> loghead_read magic num mismatch: ret 1 want fb709394"},
        {"body too long", head_bytes(LOGHEAD_MAGIC, 20) + "reqres", -ENOENT,
         "<7> loghead_read body_len error: req_size=3 buf_size=8 body_len=20"},
        {"short head", head_bytes(LOGHEAD_MAGIC, 6).substr(0, 20), -EIO,
         "<7> loghead_read head fail: ret 20 want 36 ERR[Broken pipe]"},
        {"nothing", "", -E2BIG, ""},
        {"short body", head_bytes(LOGHEAD_MAGIC, 6) + "reqr", -EINTR, "<7> loghead_read fail: ret 1 want 3 ERR[Broken pipe]"},
        {"no body", head_bytes(LOGHEAD_MAGIC, 6) + "req", -E2BIG, ""},
    };
    testutil::TempDir dir;
    for (const auto& c : cases) {
        int pair[2];
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
        ASSERT_EQ(static_cast<ssize_t>(c.bytes.size()), write(pair[1], c.bytes.data(), c.bytes.size()));
        close(pair[1]);
        loghead_t head;
        char req[3], rest[8] = {};
        logtest::StderrCapture diagnostics(dir / "stderr");
        errno = EINPROGRESS;  // left by an earlier call: no cause of what fails here
        EXPECT_EQ(c.want, loghead_read(pair[0], &head, req, 3, rest, sizeof(rest), 1000, LOGHEAD_CHECK_MAGIC))
            << c.name;
        const std::string err = diagnostics.text();
        EXPECT_EQ(c.line, err.empty() ? "" : err.substr(err.find("]<") + 1, err.size() - err.find("]<") - 2)) << c.name;
        if (c.want == 0) {
            EXPECT_EQ("res", std::string(rest));
        }
        close(pair[0]);
    }
    int pair[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
    loghead_t head;
    EXPECT_EQ(-ENOEXEC, loghead_read(pair[0], &head, nullptr, 0, nullptr, 0, 100, 0));
    struct {
        loghead_t head;
        char body[5];
    } out = {{}, "body"}, in = {};
    out.head.body_len = 5;
    EXPECT_EQ(0, loghead_write_msg(pair[0], &out.head, 1000, LOGHEAD_CHECK_MAGIC | LOGHEAD_CHECK_ARGS));
    EXPECT_EQ(0, loghead_read_msg(pair[1], &in.head, sizeof(in), 1000, LOGHEAD_CHECK_MAGIC));
    EXPECT_STREQ("body", in.body);
    EXPECT_EQ(-1, loghead_read_msg(pair[1], &in.head, 35, 1000, 0));
    EXPECT_EQ(-1, loghead_write(-1, &out.head, nullptr, 0, nullptr, 1000, LOGHEAD_CHECK_ARGS));
    out.head.body_len = 2;
    EXPECT_EQ(-ENOENT, loghead_write(pair[0], &out.head, "req", 3, nullptr, 1000, 0));
    close(pair[0]);
    close(pair[1]);
}

}  // namespace
