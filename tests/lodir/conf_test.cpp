// A naming-service name in place of the configuration path, against a
// stand-in naming agent.
#include <gtest/gtest.h>

#include "lodir/lodir_reverse_query.h"
#include "../plume/log_test_util.h"
#include "lodir/lodir_log.h"
#include "lodir/lodir_util.h"
#include "stand_in_agent.h"
#include "tendwell_lodir_conf.h"
#include "tendwell_utility.h"
#include "test_util.h"

namespace {

std::string Reply(const std::vector<std::vector<std::string>>& instances) {
    std::string data;
    for (const auto& i : instances) {
        data += std::string(data.empty() ? "" : ",") + R"({"serviceName":")" + i[0] +
                R"(","instanceName":")" + i[1] + R"(","deployPath":")" + i[2] + R"("})";
    }
    return R"({"retCode":0,"data":[)" + data + "]}";
}

TEST(LodirConf, NameBecomesTheOneMatchingInstancesConfiguration) {
    StandInAgent agent, down(0, false);
    agent.Reply(200, Reply({{"pair.group.idc", "0.pair.group.idc", "/p0"},
                            {"pair.group.idc", "1.pair.group.idc", "/p1"},
                            {"Web.Group.IDC", "3.web.group.idc", "/home/work/web"},
                            {"bare.group.idc", "4.bare.group.idc", ""},
                            {"a.group.idc", "5.dup.group.idc", ""},
                            {"b.group.idc", "5.DUP.group.idc", "/first"},
                            {"c.group.idc", "5.dup.group.idc", "/second"},
                            {"dot.x.y", ".x.y", "/dot"},
                            {"\xc3\x89t\xc3\xa9.g.idc", "6.e.g.idc", "/bytes"},
                            {"nul.group.idc", "7.nul.group.idc", "/x/evil.conf\\u0000"},
                            {"nl.group.idc", "8.nl.group.idc", "/x\\nNOTICE: forged"},
                            {"esc.group.idc", "9.esc.group.idc", "/x\\u001b[2J"},
                            {"del.group.idc", "10.del.group.idc", "/x\\u007f"},
                            {"t.group.idc", "11.twice.group.idc", "/bad\\u0001"},
                            {"u.group.idc", "11.twice.group.idc", "/good"},
                            {"high.group.idc", "12.high.group.idc", "/home/\xc3\xa9t\xc3\xa9"}}));
    const std::tuple<const char*, const char*, bool> rows[] = {
        // name, the deploy path it resolves to ("": unchanged), naming service asked
        {"conf/tendwell.conf", "", false},
        {"web.group", "", false},
        {"a.b.c.d.e.f", "", false},
        {"WEB.group.IDC", "/home/work/web", true},
        {"pair.group.idc", "", true},  // two instances
        {"0.pair.group.idc", "/p0", true},
        {"5.dup.group.idc", "/first", true},
        {"bare.group.idc", "", true},  // no deploy path
        {".x.y", "/dot", true},
        {"1.a.b.c.d", "", true},
        {"\xc3\x89t\xc3\xa9.g.idc", "/bytes", true},
        // a deploy path with a control byte counts as none
        {"nul.group.idc", "", true},
        {"8.nl.group.idc", "", true},
        {"esc.group.idc", "", true},
        {"del.group.idc", "", true},
        {"11.twice.group.idc", "/good", true},
        {"high.group.idc", "/home/\xc3\xa9t\xc3\xa9", true},
        {"down:web.group.idc", "", true},
    };
    for (const auto& row : rows) {
        std::string name = std::get<0>(row);
        bool unreachable = name.compare(0, 5, "down:") == 0;
        name.erase(0, unreachable ? 5 : 0);
        const std::string asked_name = name;
        lodir::LodirReverseQueryClient client((unreachable ? down : agent).port(), "");
        int asked = 0;
        tendwell::GetConfPathFromLodirName(name, [&](lodir::ReverseQueryOutput& out) {
            ++asked;
            return client.GetLodirInstancesByHostname(out);
        });
        const std::string deploy = std::get<1>(row);
        EXPECT_EQ(deploy.empty() ? asked_name : deploy + "/conf/tendwell.conf", name);
        EXPECT_EQ(std::get<2>(row) ? 1 : 0, asked) << asked_name;
    }
}

// Text of a reply reaches the log (here standard error) with its control bytes written
// as \xNN: no line can be forged, no terminal driven.
TEST(LodirConf, ReplyTextIsLoggedWithControlBytesEscaped) {
    StandInAgent agent;
    const std::tuple<std::string, const char*, const char*> rows[] = {
        // reply, name looked up, what the log must hold
        {Reply({{"nl.group.idc", "1.nl.group.idc", "/x\\nNOTICE: forged"}}), "nl.group.idc",
         "deploy:/x\\x0aNOTICE: forged"},
        {Reply({{"e.group.idc", "1.e\\u001b[2J.group.idc", "/\\u007f\xc3\xa9"}}), "1.x.group.idc",
         "cmp_str:1.e\\x1b[2j.group.idc service:1.x.group.idc deploy:/\\x7f\xc3\xa9"},
        {R"({"retCode":1,"msg":"no\u0000such\rhost"})", "x.group.idc", "error msg:no\\x00such\\x0dhost"},
    };
    testutil::TempDir dir;
    tendwell::SetLogLevel(tendwell::kLogDebug);
    lodir::SetLodirLogLevel(PLUME_LOG_DEBUG);
    for (const auto& row : rows) {
        agent.Reply(200, std::get<0>(row));
        std::string name = std::get<1>(row);
        std::string err;
        {
            logtest::StderrCapture capture(dir / "stderr");
            lodir::LodirReverseQueryClient client(agent.port(), "");
            tendwell::GetConfPathFromLodirName(name, [&](lodir::ReverseQueryOutput& out) {
                return client.GetLodirInstancesByHostname(out);
            });
            err = capture.text();
        }
        EXPECT_EQ(std::get<1>(row), name);
        EXPECT_NE(std::string::npos, err.find(std::get<2>(row))) << err;
        for (char c : err) {
            EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << static_cast<int>(c) << " in " << err;
        }
        EXPECT_EQ(std::string::npos, err.find("\nNOTICE: forged")) << err;
    }
    lodir::SetLodirLogLevel(0);
    tendwell::SetLogLevel(0);
    plume_closelog_r();
    plume_closelog(0);
}

// The program itself asks the agent at this host's name, port 794: run only
// where that name is a loopback name in /etc/hosts and the port is free.
TEST(LodirConf, CommandLineLoadsTheConfigurationOfAName) {
    std::string host;
    ASSERT_EQ(0, lodir::GetLocalHostName(host));
    if (host.empty() || host.find_first_of("'\\.[]*^$") != std::string::npos ||
        system(("grep -Eq '^127\\.[0-9.]+[[:space:]](.*[[:space:]])?" + host +
                "([[:space:]]|$)' /etc/hosts").c_str()) != 0) {
        GTEST_SKIP() << "this host's name is not a loopback name in /etc/hosts";
    }
    StandInAgent agent(794);
    if (agent.port() == 0) GTEST_SKIP() << "127.0.0.1:794 is taken";
    testutil::TempDir dir;
    ASSERT_EQ(0, mkdir((dir / "conf").c_str(), 0700));
    ASSERT_TRUE(testutil::WriteFile(
        dir / "conf/tendwell.conf",
        "tendwell { log_path: \"" + dir / "log" + "\" data_dir: \"" + dir / "data" + "\" }\n" +
            "process { name: \"p\" default_check { start_command: \"true\" } }\n"));
    agent.Reply(200, Reply({{"web.group.idc", "0.web.group.idc", dir.path()}}));
    auto run = [&dir](const std::string& name) {
        int status = system(("timeout 30 " TENDWELL_BINARY " " + name + " check >" + dir / "out" +
                             " 2>" + dir / "err").c_str());
        return WEXITSTATUS(status);
    };
    EXPECT_EQ(1, run("web.group.idc"));
    EXPECT_EQ("check return 1(check tendwell is running or do you have auth.)\n",
              testutil::ReadFile(dir / "out"));
    EXPECT_EQ(2, run("other.group.idc"));
    EXPECT_EQ("other.group.idc: No such file or directory\nload conf other.group.idc failed\n",
              testutil::ReadFile(dir / "err"));
}

}  // namespace
