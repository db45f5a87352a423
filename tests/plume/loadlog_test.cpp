// Opening plume from a configuration file, and reloading registered files.
#include <gtest/gtest.h>

#include "appender/file_appender.h"
#include "log_test_util.h"
#include "plume/appender.h"
#include "plume/layout.h"
#include "plume/plume_loadlog.h"

namespace {

using plumespace::Appender;

int Load(const testutil::TempDir& dir, const std::string& text, int pid = 0) {
    testutil::WriteFile(dir / "log.conf", text);
    return plume_loadlog_ex(dir.path().c_str(), "log.conf", pid);
}

// The keys of one device d of type FILE writing dir/app.log.
std::string FileConf(const testutil::TempDir& dir, const char* type = "FILE") {
    return std::string("PLUME_DEVICE_NUM : 1\nPLUME_DEVICE0 : d\nd_TYPE : ") + type + "\nd_PATH : " + dir.path() +
           "\nd_NAME : app.log\n";
}

Appender* FileAppenderOf(const testutil::TempDir& dir, const char* type = "FILE") {
    auto dev = logtest::FileDevice(dir.path(), "app.log");
    snprintf(dev->type, sizeof(dev->type), "%s", type);
    return Appender::tryAppenderByType(dev.get());
}

TEST(LoadLog, OnlyALevelOpensOneTerminalDevice) {
    testutil::TempDir dir;
    logtest::StderrCapture cap(dir / "stderr");
    ASSERT_EQ(0, Load(dir, "PLUME_LEVEL : 4\n"));
    for (int level : {1, 2, 4, 8, 16}) plume_writelog(level, "level-%d", level);
    plume_closelog(0);
    std::string err = cap.text();
    for (int level : {1, 2, 4}) EXPECT_NE(std::string::npos, err.find("level-" + std::to_string(level))) << err;
    for (int level : {8, 16}) EXPECT_EQ(std::string::npos, err.find("level-" + std::to_string(level))) << err;
}

TEST(LoadLog, ConfigurationErrorsOpenNothing) {
    const std::string dev = "PLUME_DEVICE_NUM : 1\nPLUME_DEVICE0 : d\n";
    struct {
        bool file;
        std::string text, message;
        int pid;
    } cases[] = {
        {false, "", "read conf err", 0},
        {true, "PLUME_DEVICE_NUM : 1\n", "can't get flag[PLUME_DEVICE0]", 0},
        {true, dev, "can't get flag[d_TYPE]", 0},
        {true, dev + "d_TYPE : DISK\n", "Unkown device type[DISK] at flag[d_TYPE]", 0},
        {true, dev + "d_TYPE : FILE\nd_NAME : a.log\n", "can't get flag[d_PATH]", 0},
        {true, dev + "d_TYPE : TTY\n", "Illegal para pid = -1", -1},  // TTY needs no PATH or NAME
    };
    for (const auto& c : cases) {
        testutil::TempDir dir;
        logtest::StderrCapture cap(dir / "stderr");
        int ret = c.file ? Load(dir, c.text, c.pid) : plume_loadlog(dir.path().c_str(), "none.conf");
        EXPECT_EQ(-1, ret) << c.message;
        std::string err = cap.text();
        EXPECT_TRUE(err.find("[plume:") != std::string::npos && err.find(c.message) != std::string::npos) << err;
        EXPECT_EQ(PLUME_STATE_NONE, plume_get_open_state());
    }
}

TEST(LoadLog, DeviceKeys) {
    auto split = [](Appender* a) -> uint64_t { return a->device.splite_type; };
    auto mask = [](Appender* a) -> uint64_t { return a->mask.load(); };
    auto open = [](Appender* a) -> uint64_t { return a->is_open.load(); };
    struct {
        const char* keys;
        uint64_t (*field)(Appender*);
        uint64_t want;
        const char* message;
    } cases[] = {
        {"d_SPLITE_TYPE : 2\n", split, PLUME_DATECUT, ""},
        {"d_SPLITE_TYPE : SIZECUT\n", split, PLUME_SIZECUT, ""},
        {"d_SPLITE_TYPE : 7\n", split, PLUME_TRUNCT, "Error config for plume: d_SPLITE_TYPE : 7"},
        {"d_SPLITE_TYPE : weekly\n", split, PLUME_TRUNCT, "Error config for plume: d_SPLITE_TYPE : weekly"},
        {"", mask, 0x1fffe, ""},
        {"d_SYSLEVEL : 4\n", mask, 0x1e, ""},
        {"d_SYSLEVEL : 31\n", mask, 0xfffffffffffffffeULL, ""},
        {"d_SYSLEVEL : 32\nd_SELFLEVEL : audit\n", mask, 1ULL << 32, "invalid d = 32"},
        {"d_OPEN : 0\n", open, 0, ""},
        {"d_OPEN : 256\n", open, 1, ""},
    };
    for (const auto& c : cases) {
        testutil::TempDir dir;
        logtest::StderrCapture cap(dir / "stderr");
        ASSERT_EQ(0, Load(dir, FileConf(dir) + c.keys)) << c.keys;
        EXPECT_EQ(c.want, c.field(FileAppenderOf(dir))) << c.keys;
        plume_closelog(0);
        EXPECT_NE(std::string::npos, cap.text().find(c.message)) << c.keys;
    }
}

TEST(LoadLog, ParametersLayoutAndProcessName) {
    ASSERT_EQ(0, plume_register_appender_type("FLUVIA", plumespace::FileAppender::getAppender,
                                              plumespace::FileAppender::tryAppender));
    struct {
        int extra, want_num;
        std::string last_key, last_value;
    } cases[] = {{2, 8, "d_DISKLOG_PATH_ID", "77"}, {70, 64, "d_P58", "58"}};
    for (const auto& c : cases) {
        testutil::TempDir dir;
        std::string keys = FileConf(dir, "FLUVIA") + "PLUME_DFS_A : a\nPLUME_PROCNAME : svc\nd_LAYOUT : %P|%R\n";
        for (int i = 0; i < c.extra; ++i) keys += "d_P" + std::to_string(i) + " : " + std::to_string(i) + "\n";
        ASSERT_EQ(0, Load(dir, keys, 77));
        const plume_device_t& dev = FileAppenderOf(dir, "FLUVIA")->device;
        ASSERT_EQ(c.want_num, dev.param_num);
        EXPECT_EQ(std::string("PLUME_DFS_A"), dev.params[3].key);  // after d_TYPE, d_PATH, d_NAME
        EXPECT_EQ(c.last_key, dev.params[c.want_num - 1].key);
        EXPECT_EQ(c.last_value, dev.params[c.want_num - 1].value);
        plume_writelog(PLUME_LOG_NOTICE, "hello");
        plume_closelog(0);
        EXPECT_NE(std::string::npos, testutil::ReadFile(dir / "app.log").find("\nsvc|hello\n"));
    }
}

TEST(LoadLog, ReloadSilencesADeviceAndSetsTheLevelOfEveryCategorySharingIt) {
    testutil::TempDir dir;
    ASSERT_EQ(0, Load(dir, FileConf(dir)));
    ASSERT_EQ(0, plume_reg_reload_conf(dir.path().c_str(), "log.conf"));
    logtest::StepThread other;
    auto write_both = [&other](const char* tag) {
        plume_writelog(PLUME_LOG_DEBUG, "main-debug-%s", tag);
        plume_writelog(PLUME_LOG_NOTICE, "main-notice-%s", tag);
        other.Run([tag] { plume_writelog(PLUME_LOG_DEBUG, "other-debug-%s", tag); });
    };
    write_both("1");
    testutil::WriteFile(dir / "log.conf", FileConf(dir) + "PLUME_LEVEL : 4\n");
    EXPECT_EQ(0, plume_reload_all());
    write_both("2");
    testutil::WriteFile(dir / "log.conf", FileConf(dir) + "d_OPEN : 0\n");
    plume_reload_all();
    write_both("3");
    EXPECT_GE(FileAppenderOf(dir)->fd, 0);  // silenced, not closed
    other.Run([] { plume_closelog_r(); });
    plume_closelog(0);
    std::string text = testutil::ReadFile(dir / "app.log");
    for (const char* want : {"main-debug-1", "other-debug-1", "main-notice-2"})
        EXPECT_NE(std::string::npos, text.find(want)) << want;
    for (const char* absent : {"main-debug-2", "other-debug-2", "-3"})
        EXPECT_EQ(std::string::npos, text.find(absent)) << absent;
}

TEST(LoadLog, ReloadTableHolds1024FilesForOneOpening) {
    testutil::TempDir dir;
    ASSERT_EQ(0, Load(dir, FileConf(dir)));
    for (int i = 0; i < 1024; ++i) ASSERT_EQ(0, plume_reg_reload_conf(dir.path().c_str(), "log.conf"));
    EXPECT_EQ(-1, plume_reg_reload_conf(dir.path().c_str(), "log.conf"));
    plume_closelog(0);
    plume_reload_all();  // the level records are gone: nothing may be left to set
    ASSERT_EQ(0, Load(dir, FileConf(dir)));
    EXPECT_EQ(0, plume_reg_reload_conf(dir.path().c_str(), "log.conf"));
    plume_closelog(0);
}

}  // namespace
