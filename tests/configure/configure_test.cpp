// Loading and checking a configuration, the derived socket path and the small
// helpers, on real files under a temporary directory.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "tendwell_configure.h"
#include "tendwell_example.h"
#include "tendwell_utility.h"
#include "test_util.h"

using namespace tendwell;
using testutil::FileExists;
using testutil::TempDir;
using testutil::WriteFile;

namespace {

std::string Tendwell(const std::string& data_dir, const std::string& extra = "") {
    return "tendwell { log_path: \"" + data_dir + "\" data_dir: \"" + data_dir + "\" " + extra +
           " }\nprocess { name: \"a\" default_check { start_command: \"sleep 100\" } }\n";
}

// Leaves a working directory that a test made before its TempDir removes it.
struct CwdGuard {
    ~CwdGuard() {
        if (chdir("/") != 0) {
        }
    }
};

std::string Md5Of(const std::string& s) { return Md5Hex(s.data(), s.size()); }

TEST(ConfigUtility, Md5HexFormatTimeAndPlatformTable) {
    EXPECT_EQ(Md5Of("abc"), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(Md5Of(""), "D41D8CD98F00B204E9800998ECF8427E");

    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(FormatTime(0), "1970-01-01 00:00:00");
    EXPECT_EQ(FormatTime(1700000000), "2023-11-14 22:13:20");

    EXPECT_EQ(PlatformCommandTable::GetInstance().Find("PLAT_ORVANE_CROND"), "dxcrond");
    EXPECT_EQ(PlatformCommandTable::GetInstance().Find("PLAT_ORVANE_DCX"), "dcx-agent");
    EXPECT_EQ(PlatformCommandTable::GetInstance().Find("plat_orvane_crond"), "");
}

TEST(ConfigLoad, SocketPathDerivation) {
    TempDir tmp;
    CwdGuard cwd;
    const std::string srv = tmp / "srv", home = tmp / "home";
    ASSERT_EQ(mkdir(srv.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((srv + "/conf").c_str(), 0755), 0);
    ASSERT_EQ(chdir(srv.c_str()), 0);
    const std::string hashed = Md5Of(srv + "/conf/a.conf");
    const struct {
        const char* why;
        std::string text;
        std::string conf_path;
        std::string socket;
    } cases[] = {
        {"explicit path", Tendwell("data", "unix_socket_path: \"/run/x.sock\""), "conf/a.conf",
         "/run/x.sock"},
        {"name overrides path",
         Tendwell("data", "unix_socket_path: \"/run/x.sock\" unix_socket_name: \"s\""),
         "conf/a.conf", "data/s"},
        {"digest under change_directory",
         "change_directory: \"" + home + "\"\n" + Tendwell("data"), "conf/a.conf",
         home + "/data/" + hashed},
        {"dot path cleaned", "change_directory: \"" + home + "\"\n" + Tendwell("data"),
         "./conf/a.conf", home + "/data/" + hashed},
        {"double slash cleaned", "change_directory: \"" + home + "\"\n" + Tendwell("data"),
         "conf//a.conf", home + "/data/" + hashed},
        {"absolute path and messy data_dir", Tendwell(tmp.path() + "//d/./e/../"),
         srv + "/conf/../conf/a.conf", tmp.path() + "/d/" + hashed},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(WriteFile(srv + "/conf/a.conf", c.text));
        PConfigure conf;
        ASSERT_EQ(TendwellGetConfigureFromFile(c.conf_path, &conf), 0) << c.why;
        EXPECT_EQ(conf.tendwell().unix_socket_path(), c.socket) << c.why;
    }
}

TEST(ConfigLoad, EmptySocketPathFailsTheLoad) {
    TempDir tmp;
    CwdGuard cwd;
    const std::string conf_path = tmp / "a.conf";
    ASSERT_TRUE(WriteFile(conf_path, Tendwell(tmp.path(), "unix_socket_path: \"\"")));
    PConfigure conf;
    EXPECT_EQ(TendwellGetConfigureFromFile(conf_path, &conf), -1);

    // Without a working directory a relative configuration path has no digest.
    const std::string gone = tmp / "gone";
    ASSERT_EQ(mkdir(gone.c_str(), 0755), 0);
    ASSERT_EQ(chdir(gone.c_str()), 0);
    ASSERT_EQ(rmdir(gone.c_str()), 0);
    std::string out;
    MakeUnixSocketPath(tmp.path(), "a.conf", out);
    EXPECT_EQ(out, "");
    MakeUnixSocketPath(tmp.path(), conf_path, out);
    EXPECT_EQ(out, tmp.path() + "/" + Md5Of(conf_path));
}

// Runs load in a child process; its result, or -100 when it has not ended
// within five seconds.
int InChild(const std::function<int()>& load) {
    pid_t child = fork();
    if (child == 0) _exit(load() & 0xff);
    testutil::PidReaper reaper;
    reaper.Add(child);
    int status = 0;
    if (!testutil::WaitFor([&] { return waitpid(child, &status, WNOHANG) == child; }, 5000)) {
        return -100;
    }
    return static_cast<int8_t>(WEXITSTATUS(status));
}

// A pipe with a writer is read to its end: the e2e test of -G | -t shows it.
TEST(ConfigLoad, FifoWithoutWriterIsEmptyAndADeviceIsCutOff) {
    TempDir tmp;
    const std::string fifo = tmp / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, std::string("/dev/zero")}) {
        EXPECT_EQ(InChild([&] {
                      PConfigure conf;
                      return TendwellGetConfigureFromFile(path, &conf);
                  }),
                  -1)
            << path;
        EXPECT_EQ(InChild([&] { return TestConfigure(path.c_str(), ""); }), -2) << path;
    }
}

TEST(ConfigLoad, DefaultChecksFromPlatformTable) {
    TempDir tmp;
    const std::string head = "tendwell { log_path: \"/l\" data_dir: \"/d\" }\n";
    const std::string conf_path = tmp / "a.conf";
    ASSERT_TRUE(WriteFile(conf_path, head +
                                         "process { name: \"PLAT_ORVANE_CROND\" plat_exec_parament: \"-f x\" }\n"
                                         "process { name: \"own\" plat_exec_path: \"/opt/own\" }\n"
                                         "process { name: \"u\" user_define_check { start_command: \"s\" "
                                         "check_command: \"c\" stop_command: \"t\" } }\n"));
    PConfigure conf;
    ASSERT_EQ(TendwellGetConfigureFromFile(conf_path, &conf), 0);
    EXPECT_EQ(conf.process(0).default_check().start_command(), "dxcrond -f x");
    EXPECT_EQ(conf.process(0).default_check().stop_wait_secs(), 10);
    EXPECT_EQ(conf.process(1).default_check().start_command(), "/opt/own");
    EXPECT_FALSE(conf.process(2).has_default_check());

    // A name the table lacks (it is case-sensitive) fails the load; later
    // entries get nothing.
    ASSERT_TRUE(WriteFile(conf_path, head + "process { name: \"plat_orvane_crond\" }\n"
                                            "process { name: \"PLAT_ORVANE_DCX\" }\n"));
    EXPECT_EQ(TendwellGetConfigureFromFile(conf_path, &conf), -1);
    EXPECT_FALSE(conf.process(1).has_default_check());
}

TEST(ConfigCheck, SocketPathLengthLimit) {
    TempDir tmp;
    PConfigure conf;
    ASSERT_TRUE(WriteFile(tmp / "a.conf", Tendwell(tmp.path())));
    ASSERT_EQ(TendwellGetConfigureFromFile(tmp / "a.conf", &conf), 0);
    const std::string prefix = tmp.path() + "/";
    for (size_t len : {size_t(107), size_t(108), size_t(109)}) {
        conf.mutable_tendwell()->set_unix_socket_path(prefix + std::string(len - prefix.size(), 's'));
        EXPECT_EQ(CheckConfigure(conf), len <= 107) << len;
    }
}

TEST(ConfigCheck, TendletsAndDirectories) {
    TempDir tmp;
    const std::string file = tmp / "file", link = tmp / "link", dangling = tmp / "dangling";
    ASSERT_TRUE(WriteFile(file, "x"));
    ASSERT_EQ(symlink(tmp.path().c_str(), link.c_str()), 0);
    ASSERT_EQ(symlink((tmp / "nowhere").c_str(), dangling.c_str()), 0);
    const std::string one = "process { name: \"a\" default_check { start_command: \"x\" } }";
    const struct {
        const char* why;
        std::string text;
        bool ok;
    } cases[] = {
        {"no tendlet", "tendwell { log_path: \"" + tmp.path() + "\" data_dir: \"" + tmp.path() + "\" }",
         false},
        {"tendlet without check",
         "tendwell { log_path: \"/l\" data_dir: \"" + tmp.path() + "\" }\n process { name: \"a\" }",
         false},
        {"data_dir is a file", Tendwell(file), false},
        {"log_path under a file",
         "tendwell { log_path: \"" + file + "/log\" data_dir: \"" + tmp.path() + "\" }" + one, false},
        {"dangling link", Tendwell(dangling), false},
        {"link to a directory", Tendwell(link), true},
        {"missing directories created", Tendwell(tmp / "new/deep"), true},
    };
    for (const auto& c : cases) {
        PConfigure conf;
        ASSERT_TRUE(google::protobuf::TextFormat::ParseFromString(c.text, &conf)) << c.why;
        EXPECT_EQ(CheckConfigure(conf), c.ok) << c.why;
    }
    struct stat st;
    ASSERT_EQ(stat((tmp / "new/deep").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0755u);
}

TEST(ConfigCheck, RelativeDirectoriesLieUnderChangeDirectory) {
    TempDir tmp;
    CwdGuard cwd;
    const std::string work = tmp / "work", home = tmp / "home";
    ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
    ASSERT_EQ(chdir(work.c_str()), 0);
    PConfigure conf;
    ASSERT_TRUE(google::protobuf::TextFormat::ParseFromString(
        "change_directory: \"" + home + "\"\n"
        "tendwell { log_path: \"./log\" data_dir: \"data\" }\n"
        "process { name: \"a\" default_check { start_command: \"x\" } }",
        &conf));
    ASSERT_TRUE(CheckConfigure(conf, DaemonWorkDir(conf, "")));
    EXPECT_TRUE(FileExists(home + "/data"));
    EXPECT_TRUE(FileExists(home + "/log"));
    EXPECT_FALSE(FileExists(work + "/data"));
    EXPECT_FALSE(FileExists(work + "/log"));
}

TEST(ConfigProcessLog, LevelGuardsWhatIsWritten) {
    TempDir tmp;
    EXPECT_EQ(OpenLog(nullptr, "tendwell", 4, 0, 0), 4);
    EXPECT_EQ(OpenLog((tmp.path() + "/" + std::string(300, 'l')).c_str(), "tendwell", 4, 0, 0), 4);
    EXPECT_EQ(GetLogLevel(), 0);

    const std::string log = tmp / "tendwell.log";
    ASSERT_EQ(OpenLog(log.c_str(), "tendwell", 4, 1, 0), 0);
    EXPECT_EQ(GetLogLevel(), 4);
    TW_NOTICE("ProcessLog", "notice %d", 1);
    TW_WARNING("ProcessLog", "warning %s", "two");
    TW_DEBUG("ProcessLog", "debug line");
    const int line = __LINE__ - 3;
    plume_closelog(0);
    const std::string text = testutil::ReadFile(log);
    EXPECT_NE(text.find("[configure_test.cpp:" + std::to_string(line) + "][ProcessLog]notice 1"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("[ProcessLog]warning two"), std::string::npos) << text;
    EXPECT_EQ(text.find("debug line"), std::string::npos) << text;
}

}  // namespace
