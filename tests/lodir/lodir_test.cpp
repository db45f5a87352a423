// The naming lookup library against stand-in naming agents on 127.0.0.1.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <google/protobuf/text_format.h>
#include <libgen.h>
#include <sched.h>
#include <sys/mount.h>

#include <chrono>
#include <memory>

#include "lodir/lodir_http_client.h"
#include "lodir/lodir_reverse_query.h"
#include "lodir/lodir_settings.h"
#include "lodir/lodir_util.h"
#include "child_step.h"
#include "own_files.h"
#include "stand_in_agent.h"
#include "tendwell_unix_rpc_manager.h"

namespace {

using lodir::LodirReverseQueryClient;
using lodir::ReverseQueryInput;
using lodir::ReverseQueryOutput;

const char kWebPath[] = "/portico/index.php?r=lodir/HostService&hostName=";
const char kOne[] = R"({"retCode":0,"data":[{"serviceName":"s.g.i","instanceName":"1.s.g.i",)"
                    R"("deployPath":"/home/w","port":8080}]})";

std::string Data(const std::string& elements) {
    return R"({"retCode":0,"data":[)" + elements + "]}";
}

// Asks the agent, then the web service, for host.
int Ask(const StandInAgent& agent, const StandInAgent& web, const std::string& host,
        ReverseQueryOutput& out) {
    ReverseQueryInput input;
    input.set_host_name(host);
    return LodirReverseQueryClient(agent.port(), web.Url(kWebPath))
        .GetLodirInstancesByHostname(input, out);
}

TEST(LodirHttpClient, PostAppendsAndLeavesNoPostBehind) {
    StandInAgent agent;
    agent.Reply(200, "ok;");
    lodir::LodirHttpClient client;
    std::string response = "old;";
    ASSERT_EQ(0, client.Post(agent.Url("/p"), "a=1", response));
    ASSERT_EQ(0, client.Post(agent.Url("/p"), "a=2", response));
    ASSERT_EQ("old;ok;ok;", response);
    ASSERT_EQ(0, client.Get(agent.Url("/g"), response));
    EXPECT_EQ("ok;", response);
    EXPECT_EQ("GET /g HTTP/1.1", agent.Requests().back());
}

// libcurl is loaded by the first client only; without it a lookup fails as
// with an unreachable agent. Checked in a process of its own (a death test
// runs the program anew), as an earlier test loads it, with a mount namespace
// of its own, where an empty file system hides the system's library directory.
TEST(LodirHttpClient, LoadsLibcurlOnFirstUseAndFailsWithoutIt) {
    std::string none;
    if (!testutil::RunWithOwnFiles({}, [] { return std::string(); }, &none, 10000)) {
        GTEST_SKIP() << "no mount namespace here";
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto look_up_without_libcurl = [] {
        if (dlopen("libcurl.so.4", RTLD_LAZY | RTLD_NOLOAD) != nullptr) return 1;
        Dl_info libc;
        if (dladdr(reinterpret_cast<void*>(&printf), &libc) == 0) return 2;
        std::string libc_path = libc.dli_fname;
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", dirname(&libc_path[0]), "tmpfs", 0, nullptr) != 0) {
            return 3;
        }
        StandInAgent agent;
        agent.Reply(200, kOne);
        ReverseQueryOutput out;
        if (LodirReverseQueryClient(agent.port(), "").GetLodirInstancesByHostname(out) != -1) {
            return 4;
        }
        return agent.Requests().empty() ? 0 : 5;
    };
    EXPECT_EXIT(_exit(look_up_without_libcurl()), testing::ExitedWithCode(0), "");
}

TEST(LodirQuery, DecodesByTheStringAndIntegerRulesWithoutRaising) {
    struct Row {
        std::string body;
        int ret;
        const char* field = nullptr;  // of the first instance
        const char* text = nullptr;
    };
    const Row rows[] = {
        {kOne, 0, "port", "8080"},
        {R"({"retCode":1,"msg":"no such host"})", -5},
        {R"({"retCode":"0","data":[{}]})", -5},
        {R"({"retCode":0.0,"data":[{}]})", -5},
        {R"({"retCode":0,"data":{"a":{}}})", -2},
        {R"({"retCode":0,"data":"x"})", 0},
        {Data("7"), -2},
        {Data("null"), 0, "service_name", "\"\""},
        {Data(R"({"port":"80"})"), -2},
        {Data(R"({"port":80.9})"), 0, "port", "80"},
        {Data(R"({"port":true})"), 0, "port", "1"},
        {Data(R"({"port":2147483648})"), -2},
        {Data(R"({"port":2147483647.5})"), -2},
        {Data(R"({"serviceName":5})"), -2},
        {Data(R"({"serviceName":false})"), 0, "service_name", "\"false\""},
        {Data(R"({"checkAccount":"x"})"), 0, "check_account", "\"\""},
        {Data(R"({"port":1})") + " <html>", 0, "port", "1"},
        {"/* c */ {\"retCode\":0 // c\n}", 0},
        {"<html></html>", -2},
        {std::string(60000, '['), -2},  // deeper than the reader goes
    };
    StandInAgent agent, web(0, false);
    for (const Row& row : rows) {
        agent.Reply(200, row.body);
        ReverseQueryOutput out;
        ASSERT_EQ(row.ret, Ask(agent, web, "127.0.0.1", out)) << row.body.substr(0, 60);
        if (row.ret != -2) {  // a refused reply names no host
            EXPECT_EQ(row.ret == 0, out.host_name() == "127.0.0.1");
        }
        if (row.field == nullptr) continue;
        std::string text;
        google::protobuf::TextFormat::PrintFieldValueToString(
            out.instance(0), out.instance(0).GetDescriptor()->FindFieldByName(row.field), -1,
            &text);
        EXPECT_EQ(row.text, text) << row.body;
        EXPECT_TRUE(out.instance(0).IsInitialized());
    }
}

TEST(LodirQuery, AsksTheWebServiceOnlyWhenTheAgentFails) {
    enum Mode { kDown, kSilent, kJson, kHtml, kNotFound, kHuge };
    const std::tuple<Mode, Mode, int, bool> rows[] = {
        // agent, web service, result, web service asked
        {kJson, kJson, 0, false},  {kDown, kJson, 0, true},   {kNotFound, kJson, 0, true},
        {kHuge, kJson, 0, true},   {kHtml, kJson, -2, false}, {kDown, kDown, -1, false},
        {kDown, kNotFound, -1, true}, {kSilent, kDown, -1, false},
    };
    auto stand_in = [](Mode mode) {
        std::unique_ptr<StandInAgent> side(new StandInAgent(0, mode != kDown));
        side->Reply(mode == kNotFound ? 404 : 200,
                    mode == kHtml ? "<html/>" : mode == kHuge ? std::string(5 << 20, ' ') : kOne,
                    mode == kSilent);
        return side;
    };
    const std::vector<std::string> web_request = {std::string("GET ") + kWebPath +
                                                  "127.0.0.1 HTTP/1.1"};
    for (const auto& row : rows) {
        std::unique_ptr<StandInAgent> agent = stand_in(std::get<0>(row));
        std::unique_ptr<StandInAgent> web = stand_in(std::get<1>(row));
        ReverseQueryOutput out;
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(std::get<2>(row), Ask(*agent, *web, "127.0.0.1", out));
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(std::get<2>(row) == 0 ? 1 : 0, out.instance_size());
        EXPECT_EQ(std::get<3>(row), web->Requests() == web_request);
        EXPECT_LT(took.count(), std::get<0>(row) == kSilent ? 6 : 2);
        EXPECT_GT(took.count(), std::get<0>(row) == kSilent ? 2.5 : 0);
    }
    // The malformed agent URL fails at once; the web query escapes the name.
    StandInAgent agent, web;
    web.Reply(200, kOne);
    ReverseQueryOutput out;
    ASSERT_EQ(0, Ask(agent, web, "a b&c", out));
    EXPECT_EQ(std::string("GET ") + kWebPath + "a%20b%26c HTTP/1.1", web.Requests().at(0));
}

// With a resolver that never answers, each request still ends at its 3 s limit: a
// lookup of two requests within about 6.5 s. The resolver is a UDP socket that reads
// nothing, named in the resolv.conf of a child with a mount namespace of its own.
TEST(LodirQuery, RequestsEndInTimeWhenNameResolutionHangs) {
    int resolver = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(53);
    bool bound = false;
    for (uint32_t host = 1; !bound && host < 64; ++host) {  // a loopback address free on port 53
        at.sin_addr.s_addr = htonl((127u << 24) | (86u << 16) | (53u << 8) | host);
        bound = bind(resolver, reinterpret_cast<sockaddr*>(&at), sizeof(at)) == 0;
    }
    ASSERT_TRUE(bound);
    char address[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &at.sin_addr, address, sizeof(address));
    std::string report;
    bool ran = testutil::RunWithOwnFiles(
        {{"/etc/resolv.conf", std::string("nameserver ") + address + "\noptions timeout:8 attempts:1\n"},
         {"/etc/hosts", "127.0.0.1 localhost\n"},
         {"/etc/nsswitch.conf", "hosts: files dns\n"}},
        [] {
            StandInAgent down(0, false), silent;
            silent.Reply(200, kOne, true);
            const struct {
                const char* name;
                int agent_port;
                const char* host;
                double most;  // seconds: 3 for each request that cannot end sooner
            } rows[] = {
                {"agent refuses", down.port(), "127.0.0.1", 3.5},
                {"agent silent", silent.port(), "127.0.0.1", 6.5},
                {"agent unresolved", silent.port(), "agent.tendwell-test", 6.5},
            };
            std::string out;
            for (const auto& row : rows) {
                ReverseQueryInput input;
                input.set_host_name(row.host);
                ReverseQueryOutput found;
                auto start = std::chrono::steady_clock::now();
                int ret = LodirReverseQueryClient(row.agent_port, std::string("http://web.tendwell-test") + kWebPath)
                              .GetLodirInstancesByHostname(input, found);
                std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
                out += std::string(row.name) + ": " + std::to_string(ret) +
                       (took.count() <= row.most ? " in time" : " after " + std::to_string(took.count()) + " s") +
                       "\n";
            }
            return out;
        },
        &report, 60000);
    close(resolver);
    if (!ran) GTEST_SKIP() << "no mount namespace here";
    EXPECT_EQ("agent refuses: -1 in time\nagent silent: -1 in time\nagent unresolved: -1 in time\n", report);
}

// A proxy named in the environment never answers for this host's agent, on any request
// of a client; the web service is asked through it.
TEST(LodirQuery, AgentIsAskedDirectlyAndTheWebServiceThroughTheProxy) {
    const std::string web_prefix = std::string("http://lodir.tendwell-test") + kWebPath;
    for (const char* variable : {"http_proxy", "ALL_PROXY"}) {
        StandInAgent agent, proxy;
        agent.Reply(404, "");  // the web service is asked too
        proxy.Reply(200, kOne);
        ASSERT_EQ(0, setenv(variable, proxy.Url("").c_str(), 1));
        std::unique_ptr<const char, int (*)(const char*)> unset(variable, unsetenv);
        LodirReverseQueryClient client(agent.port(), web_prefix);
        ReverseQueryInput input;
        input.set_host_name("127.0.0.1");
        ReverseQueryOutput out;
        EXPECT_EQ(0, client.GetLodirInstancesByHostname(input, out)) << variable;
        agent.Reply(200, kOne);
        EXPECT_EQ(0, client.GetLodirInstancesByHostname(input, out)) << variable;
        EXPECT_EQ(std::vector<std::string>(2, "GET /instance HTTP/1.1"), agent.Requests()) << variable;
        EXPECT_EQ(std::vector<std::string>({"GET " + web_prefix + "127.0.0.1 HTTP/1.1"}), proxy.Requests())
            << variable;
    }
}

// Resident kilobytes of this process: now (VmRSS) or at its peak (VmHWM).
long ResidentKb(const char* key) {
    const std::string status = testutil::ReadFile("/proc/self/status");
    const size_t at = status.find(key);
    return at == std::string::npos ? -1 : atol(status.c_str() + at + strlen(key) + 1);
}

// Replies of empty objects, each of which would become an instance, cost the lookup
// little memory and time, whatever their size: each measured in a child of its own
// (the peak of its resident memory set back to its size before). The bounds leave
// room for the sanitizers' own cost.
TEST(LodirQuery, ReplyOfEmptyObjectsCostsLittle) {
    const std::pair<size_t, int> rows[] = {
        // bytes of the reply, result
        {60 << 10, 0},
        {(4 << 20) - 64, -1},  // larger than a reply is taken
    };
    for (const auto& row : rows) {
        std::string body = R"({"retCode":0,"data":[{})";
        size_t objects = 1;
        for (; body.size() + 5 <= row.first; ++objects) body += ",{}";
        body += "]}";
        std::string report;
        int status = testutil::RunInChild(
            [&] {
                StandInAgent agent;
                agent.Reply(200, body);
                const long before = ResidentKb("VmRSS:");
                if (!testutil::WriteFile("/proc/self/clear_refs", "5")) return std::string("no peak reset");
                ReverseQueryOutput out;
                auto start = std::chrono::steady_clock::now();
                int ret = LodirReverseQueryClient(agent.port(), "").GetLodirInstancesByHostname(out);
                std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
                const long grew_mb = (ResidentKb("VmHWM:") - before) >> 10;
                return std::to_string(ret) + " " + std::to_string(out.instance_size()) +
                       (grew_mb < 256 ? "" : " grew " + std::to_string(grew_mb) + " MB") +
                       (took.count() < 3 ? "" : " took " + std::to_string(took.count()) + " s");
            },
            &report, 120000);
        EXPECT_EQ(0, status) << row.first;
        EXPECT_EQ(std::to_string(row.second) + " " + std::to_string(row.second == 0 ? objects : 0), report)
            << row.first;
    }
}

TEST(LodirQuery, LoopbackQueryAsksOnlyTheLocalAgentUnderTheHostName) {
    StandInAgent agent, web, down(0, false);
    agent.Reply(200, kOne);
    web.Reply(200, kOne);
    ReverseQueryOutput out;
    std::string host;
    ASSERT_EQ(0, lodir::GetLocalHostName(host));
    ASSERT_EQ(0, LodirReverseQueryClient(agent.port(), web.Url(kWebPath))
                     .GetLodirInstancesByHostname(out));
    EXPECT_EQ(host, out.host_name());
    EXPECT_EQ(-1, LodirReverseQueryClient(down.port(), web.Url(kWebPath))
                      .GetLodirInstancesByHostname(out));
    EXPECT_TRUE(web.Requests().empty());
}

TEST(LodirQuery, FindInstanceByPathMatchesWholeDirectories) {
    StandInAgent agent;
    agent.Reply(200, Data(R"({"deployPath":""},{"deployPath":"/home/a/app","port":1},)"
                          R"({"deployPath":"/home/a/app2/","port":2})"));
    LodirReverseQueryClient client(agent.port(), agent.Url(kWebPath));
    const std::pair<const char*, int> rows[] = {
        // path, port of the instance found or the result
        {"/home/a/app", 1},   {"/home/a/app/bin/x", 1}, {"/home/a/app2/bin", 2},
        {"/home/a/app2", -3}, {"/home/a/app3", -3},     {"/home/a", -3},
    };
    ReverseQueryInput input;
    input.set_host_name("127.0.0.1");
    lodir::ExpectInstanceInfo found;
    EXPECT_EQ(-6, client.FindInstanceByPath(input, found));
    EXPECT_TRUE(agent.Requests().empty());
    for (const auto& row : rows) {
        input.set_deploy_path(row.first);
        int ret = client.FindInstanceByPath(input, found);
        EXPECT_EQ(row.second, ret == 0 ? found.port() : ret) << row.first;
    }
}

// Both host-name helpers cut the one configured suffix; checked in a child
// with a UTS namespace of its own, whose host name it may set.
TEST(LodirUtil, HostNameIsCutAtTheDomainSuffix) {
    const std::string suffix = lodir::kDomainSuffix;
    const std::string rows[] = {"web01" + suffix, "web01" + suffix + ".x", "web01"};
    pid_t child = fork();
    if (child == 0) {
        if (unshare(CLONE_NEWUTS) != 0) _exit(77);
        tendwell::UnixRpcManager rpc("/nonexistent");
        for (const std::string& row : rows) {
            std::string name, rpc_name;
            if (sethostname(row.data(), row.size()) != 0 || lodir::GetLocalHostName(name) != 0 ||
                rpc.GetHostName(rpc_name) != 0 || name != "web01" || rpc_name != "web01") {
                _exit(1);
            }
        }
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no UTS namespace here";
    EXPECT_EQ(0, status);
}

}  // namespace
