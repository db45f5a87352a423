// A naming-service name in place of the configuration path, against a
// stand-in naming agent.
#include <gtest/gtest.h>

#include "lodir/lodir_reverse_query.h"
#include "lodir/lodir_util.h"
#include "stand_in_agent.h"
#include "tendwell_lodir_conf.h"
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
                            {"\xc3\x89t\xc3\xa9.g.idc", "6.e.g.idc", "/bytes"}}));
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
    EXPECT_EQ("load conf other.group.idc failed\n", testutil::ReadFile(dir / "err"));
}

}  // namespace
