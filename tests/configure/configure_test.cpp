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
        EXPECT_EQ(InChild([&] { return TestConfigure(path.c_str()); }), -2) << path;
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
        EXPECT_EQ(CheckConfigure(conf, CheckFor::kClient), len <= 107) << len;
    }
}

TEST(ConfigCheck, TendletsAndDirectories) {
    TempDir tmp;
    const std::string file = tmp / "file", link = tmp / "link", dangling = tmp / "dangling";
    ASSERT_TRUE(WriteFile(file, "x"));
    ASSERT_EQ(symlink(tmp.path().c_str(), link.c_str()), 0);
    ASSERT_EQ(symlink((tmp / "nowhere").c_str(), dangling.c_str()), 0);
    ASSERT_EQ(mkdir((tmp / "sub").c_str(), 0755), 0);
    const std::string one = "process { name: \"a\" default_check { start_command: \"x\" } }";
    const std::string dirs = "tendwell { log_path: \"" + tmp.path() + "\" data_dir: \"" +
                             tmp.path() + "\" }\n";
    auto state_file = [&](const std::string& name, const std::string& socket = "") {
        return Tendwell(tmp.path(), socket) + "status_save_filename: \"" + name + "\"";
    };
    // A file name that leaves the identity file's temporary one byte too few.
    const std::string too_long(255 - 10 + 1, 'n');
    auto waits = [&](const std::string& check) {
        return dirs + "process { name: \"w\" " + check + " }";
    };
    const std::string user = "user_define_check { start_command: \"s\" check_command: \"c\" "
                             "stop_command: \"t\" ";
    const std::string t = tmp.path();
    const CheckFor test = CheckFor::kTest;
    const struct {
        const char* why;
        std::string text;
        bool ok;
        // The start of what standard error says.
        std::string says = "";
        CheckFor check = CheckFor::kClient;
    } cases[] = {
        {"no tendlet", "tendwell { log_path: \"" + tmp.path() + "\" data_dir: \"" + tmp.path() + "\" }",
         false},
        {"tendlet without check",
         "tendwell { log_path: \"/l\" data_dir: \"" + tmp.path() + "\" }\n process { name: \"a\" }",
         false},
        {"data_dir is a file", Tendwell(file), false},
        {"log_path under a file",
         "tendwell { log_path: \"" + file + "/log\" data_dir: \"" + tmp.path() + "\" }" + one, false,
         "log_path " + file + "/log: Not a directory"},
        {"log_path is a file",
         "tendwell { log_path: \"" + file + "\" data_dir: \"" + tmp.path() + "\" }" + one, false,
         "log_path " + file + " is not a directory\ndata_dir:" + file + " is not dir, type:"},
        {"dangling link", Tendwell(dangling), false},
        {"link to a directory", Tendwell(link), true},
        {"missing directories created", Tendwell(tmp / "new/deep"), true},
        {"empty state file name", state_file(""), false, "status_save_filename:\"\" names no file",
         test},
        {"state file name .", state_file("."), false, "status_save_filename:\".\" names no file",
         test},
        {"state file name ..", state_file(".."), false, "status_save_filename:\"..\"", test},
        {"state file name ending in /", state_file("sub/"), false, "status_save_filename:", test},
        {"state file name ending in /..", state_file("sub/.."), false, "status_save_filename:",
         test},
        {"state file name ., for a client", state_file("."), true},
        {"state file in a subdirectory", state_file("sub/x.save"), true, "", test},
        {"state file's missing folder made", state_file("made/deep/x.save"), true, "", test},
        {"state file's folder under a file", state_file("file/x.save"), false,
         "status_save_filename:\"file/x.save\": folder " + t + "/file can't be made: Not a directory",
         test},
        {"state file name that is a directory", state_file("sub"), false,
         "status_save_filename:\"sub\": " + t + "/sub is a directory", test},
        {"state file name too long for its identity file", state_file(too_long), false,
         "status_save_filename:\"" + too_long +
             "\": with \".ident.new\" its file name is 256 bytes, the file system takes 255",
         test},
        {"state file that is the socket", state_file("tw.sock", "unix_socket_name: \"tw.sock\""),
         false,
         "status_save_filename:\"tw.sock\": " + t + "/tw.sock is the control socket " + t + "/tw.sock",
         test},
        {"identity file that is the socket",
         state_file("st", "unix_socket_path: \"" + link + "/st.ident\""), false,
         "status_save_filename:\"st\": " + t + "/st.ident is the control socket " + link +
             "/st.ident",
         test},
        {"state file that is the lock file, through a link",
         state_file("s.lock", "unix_socket_path: \"" + link + "/s\""), false,
         "status_save_filename:\"s.lock\": " + t + "/s.lock is the lock file " + link + "/s.lock",
         test},
        {"stop wait of decades",
         waits("default_check { start_command: \"x\" stop_wait_secs: 2147483647 }"), false,
         "name:w stop_wait_secs:2147483647 must be between 0 and 86400", test},
        {"stop wait of decades, for a client",
         waits("default_check { start_command: \"x\" stop_wait_secs: 2147483647 }"), true},
        {"negative stop wait", waits("default_check { start_command: \"x\" stop_wait_secs: -1 }"),
         false, "name:w stop_wait_secs:-1 must be between 0 and 86400", test},
        {"stop wait of a day", waits("default_check { start_command: \"x\" stop_wait_secs: 86400 }"),
         true, "", test},
        {"stop time-out over a day", waits(user + "stop_timeout_secs: 86401 }"), false,
         "name:w stop_timeout_secs:86401 must be between 0 and 86400", test},
        {"negative restart time-out", waits(user + "restart_timeout_secs: -1 }"), false,
         "name:w restart_timeout_secs:-1 must be", test},
        {"reload time-out over a day", waits(user + "reload_timeout_secs: 86401 }"), false,
         "name:w reload_timeout_secs:86401 must be", CheckFor::kDaemon},
        {"time-outs of an unused user check",
         waits("default_check { start_command: \"x\" } " + user + "stop_timeout_secs: -1 }"), true,
         "", test},
        {"empty start command", waits("default_check { start_command: \"\" }"), false,
         "name:w start_command is empty", test},
        {"empty check command",
         waits("user_define_check { start_command: \"s\" check_command: \"\" stop_command: \"t\" }"),
         false, "name:w check_command is empty", test},
        {"a name given twice, tested", Tendwell(tmp.path()) + one, false,
         "name:a is given twice (process 1 and process 2)", CheckFor::kTest},
    };
    for (const auto& c : cases) {
        PConfigure conf;
        ASSERT_TRUE(google::protobuf::TextFormat::ParseFromString(c.text, &conf)) << c.why;
        testing::internal::CaptureStderr();
        EXPECT_EQ(CheckConfigure(conf, c.check), c.ok) << c.why;
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(said.rfind(c.says, 0), 0u) << c.why << ": " << said;
    }
    struct stat st;
    ASSERT_EQ(stat((tmp / "new/deep").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    ASSERT_EQ(stat((tmp / "made/deep").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0755u);
}

// A check outside the daemon finds a directory beginning with "." under
// change_directory, and any other relative one in the working directory.
TEST(ConfigCheck, RelativeDirectoriesOutsideTheDaemon) {
    const struct {
        const char* why;
        const char* dir;
        const char* made;  // under the test's directory: work is the working one
        const char* not_made;
    } cases[] = {
        {"./data is under change_directory", "./data", "home/./data", "work/data"},
        {"data is in the working directory", "data", "work/data", "home/data"},
        {"-G output, in the working directory", "[required]/DIR/to/save/tendwell/data",
         "work/[required]/DIR/to/save/tendwell/data", "home/[required]"},
    };
    for (const auto& c : cases) {
        TempDir tmp;
        CwdGuard cwd;
        ASSERT_EQ(mkdir((tmp / "work").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((tmp / "home").c_str(), 0755), 0);
        ASSERT_EQ(chdir((tmp / "work").c_str()), 0);
        PConfigure conf;
        ASSERT_TRUE(google::protobuf::TextFormat::ParseFromString(
            "change_directory: \"" + (tmp / "home") + "\"\n" + Tendwell(c.dir), &conf))
            << c.why;
        for (CheckFor check : {CheckFor::kTest, CheckFor::kClient}) {
            ASSERT_TRUE(CheckConfigure(conf, check)) << c.why;
            EXPECT_TRUE(FileExists(tmp / c.made)) << c.why;
            EXPECT_FALSE(FileExists(tmp / c.not_made)) << c.why;
        }
    }
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
