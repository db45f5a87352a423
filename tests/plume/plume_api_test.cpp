// The logging API with the program's own set-up: one file device, opened once.
#include <gtest/gtest.h>
#include <sys/syscall.h>

#include <memory>
#include <regex>

#include "../zulib/shm_test_keys.h"
#include "log_test_util.h"
#include "plume/plume.h"
#include "zulib/zu_log.h"

namespace {

using logtest::FileDevice;
using logtest::Lines;
using logtest::StderrCapture;

// zu_openlog registers in the shared-memory table: never in the machine-wide one.
const testkeys::OwnShmKeys g_keys;

int OpenFileLog(const std::string& dir, const char* procname, int level) {
    auto dev = FileDevice(dir, "tendwell.log");
    plume_logstat_t stat;
    plume_resetlogstat(&stat);
    stat.level = level;
    return plume_openlog(procname, dev.get(), 1, &stat);
}

std::string Tid() { return std::to_string(syscall(SYS_gettid)); }

const char* const TIME = R"(\d\d-\d\d \d\d:\d\d:\d\d)";

TEST(PlumeApi, FileDeviceWritesTheDefaultLineAndFiltersDebug) {
    testutil::TempDir dir;
    ASSERT_EQ(0, OpenFileLog(dir.path(), "tendwell", 4));
    EXPECT_EQ(0, plume_writelog(PLUME_LOG_NOTICE, "hello %d", 42));
    EXPECT_EQ(0, plume_writelog(PLUME_LOG_DEBUG, "hidden"));
    EXPECT_EQ(0, plume_writelog(PLUME_LOG_FATAL, "bad"));
    auto lines = Lines(testutil::ReadFile(dir / "tendwell.log"));
    ASSERT_EQ(4u, lines.size());
    std::string head = std::string(TIME) + ":  tendwell \\* " + Tid() + " ";
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("NOTICE: " + head + "-{63} open log -{12}"))) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex("WARNING: " + head + "-{63} open log.wf -{12}")));
    EXPECT_TRUE(std::regex_match(lines[2], std::regex("NOTICE: " + head + "hello 42"))) << lines[2];
    EXPECT_TRUE(std::regex_match(lines[3], std::regex("FATAL: " + head + "bad")));
    EXPECT_EQ(1u, logtest::ListDir(dir.path()).size());  // one file, no ".wf"
    EXPECT_EQ(1, plume_which_log_open());
    EXPECT_EQ(0, plume_closelog(0));
}

TEST(PlumeApi, SecondOpenFailsAndLeavesTheFirst) {
    testutil::TempDir dir;
    ASSERT_EQ(0, OpenFileLog(dir.path(), "tendwell", 16));
    std::string err;
    {
        StderrCapture cap(dir / "stderr");
        EXPECT_EQ(-1, OpenFileLog(dir / "other", "other", 16));
        err = cap.text();
    }
    EXPECT_NE(std::string::npos, err.find("Log is open...."));
    EXPECT_FALSE(testutil::FileExists(dir / "other"));
    plume_writelog(PLUME_LOG_NOTICE, "still here");
    EXPECT_NE(std::string::npos, testutil::ReadFile(dir / "tendwell.log").find("tendwell * " + Tid() + " still here"));
    plume_closelog(0);
}

TEST(PlumeApi, FailedOpenLeavesTheLibraryClosed) {
    testutil::TempDir dir;
    auto good = FileDevice(dir.path(), "good.log");
    auto bad = FileDevice(dir.path(), "bad.log");
    snprintf(bad->type, sizeof(bad->type), "NOSUCH");
    plume_device_t devs[2];
    devs[0] = *good;
    devs[1] = *bad;
    std::string err;
    {
        StderrCapture cap(dir / "stderr");
        EXPECT_EQ(-1, plume_openlog("p", devs, 2, nullptr));
        err = cap.text();
    }
    EXPECT_NE(std::string::npos, err.find("create appender " + dir.path() + ":bad.log err"));
    EXPECT_EQ(PLUME_STATE_NONE, plume_get_open_state());
    ASSERT_EQ(0, OpenFileLog(dir.path(), "p", 16));
    plume_closelog(0);
}

TEST(PlumeApi, BeforeOpenAndAfterCloseLinesGoToStandardError) {
    testutil::TempDir dir;
    std::string err;
    {
        StderrCapture cap(dir / "stderr");
        EXPECT_EQ(0, plume_writelog(PLUME_LOG_WARNING, "early %s", "bird"));
        ASSERT_EQ(0, OpenFileLog(dir.path(), "tendwell", 16));
        plume_writelog(PLUME_LOG_NOTICE, "in file");
        plume_closelog(0);
        EXPECT_EQ(0, plume_writelog(PLUME_LOG_NOTICE, "late"));
        err = cap.text();
    }
    auto lines = Lines(err);
    ASSERT_EQ(2u, lines.size()) << err;
    std::string head = std::string(TIME) + ":   \\* 0 ";
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("WARNING: " + head + "early bird"))) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex("NOTICE: " + head + "late"))) << lines[1];
    EXPECT_NE(std::string::npos, testutil::ReadFile(dir / "tendwell.log").find("in file"));
}

TEST(PlumeApi, NoDeviceWritesToTheTerminal) {
    testutil::TempDir dir;
    plume_device_t* none = nullptr;
    EXPECT_EQ(-1, plume_openlog("tty", none, 0, nullptr));
    std::string err;
    {
        StderrCapture cap(dir / "stderr");
        auto unused = FileDevice(dir.path(), "unused.log");
        ASSERT_EQ(0, plume_openlog("tty", unused.get(), 0, nullptr));
        plume_writelog(PLUME_LOG_TRACE, "to the terminal");
        plume_closelog(0);
        err = cap.text();
    }
    auto lines = Lines(err);
    ASSERT_EQ(3u, lines.size()) << err;
    EXPECT_TRUE(std::regex_match(lines[2], std::regex("TRACE: " + std::string(TIME) + ":  tty \\* " + Tid() + " to the terminal")));
    EXPECT_FALSE(testutil::FileExists(dir / "unused.log"));
}

TEST(PlumeApi, NullProcessNameKeepsDefault) {
    testutil::TempDir dir;
    ASSERT_EQ(0, OpenFileLog(dir.path(), nullptr, 16));
    plume_writelog(PLUME_LOG_NOTICE, "x");
    EXPECT_NE(std::string::npos, testutil::ReadFile(dir / "tendwell.log").find(":  Default * "));
    plume_closelog(0);
}

TEST(PlumeApi, FilteredRecordLeavesNoPrefixForTheNextLine) {
    testutil::TempDir dir;
    ASSERT_EQ(0, OpenFileLog(dir.path(), "tendwell", 4));
    EXPECT_EQ(0, plume_writelog_ex(PLUME_LOG_DEBUG, 3, "audit", "hidden"));
    EXPECT_EQ(0, plume_writelog(PLUME_LOG_NOTICE, "plain"));
    EXPECT_EQ(0, plume_writelog_ex(PLUME_LOG_NOTICE, 3, "audit", "typed"));
    EXPECT_EQ(-1, plume_writelog_ex(PLUME_LOG_NOTICE, -1, "audit", "refused"));
    auto lines = Lines(testutil::ReadFile(dir / "tendwell.log"));
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ(0u, lines[2].find("NOTICE: ")) << lines[2];
    EXPECT_EQ(0u, lines[3].find("3 audit NOTICE: ")) << lines[3];
    plume_closelog(0);
}

TEST(PlumeApi, ZulibCallsAreHandedToPlumeWhileOpen) {
    testutil::TempDir dir;
    ASSERT_EQ(0, OpenFileLog(dir.path(), "tendwell", 8));
    EXPECT_EQ(8, zu_log_getlevel());  // plume's level became zulib's
    EXPECT_EQ(0, zu_writelog(ZU_LOG_TRACE, "from zu %d", 7));
    EXPECT_EQ(1, zu_is_level_enabled(ZU_LOG_TRACE));
    EXPECT_EQ(0, zu_is_level_enabled(ZU_LOG_DEBUG));
    EXPECT_EQ(0, zu_closelog(0));  // closes plume
    EXPECT_EQ(PLUME_STATE_NONE, plume_get_open_state());
    EXPECT_NE(std::string::npos, testutil::ReadFile(dir / "tendwell.log").find("TRACE: "));
    EXPECT_NE(std::string::npos, testutil::ReadFile(dir / "tendwell.log").find("from zu 7"));
}

TEST(PlumeApi, PlumeCallsAreHandedToZulibWhileItIsOpen) {
    testutil::TempDir dir;
    zu_logstat_t st = {255, 0, 0};
    ASSERT_EQ(0, zu_openlog(dir.path().c_str(), "proc", &st, 0, nullptr));
    EXPECT_EQ(2, plume_which_log_open());
    EXPECT_EQ(-1, OpenFileLog(dir.path(), "tendwell", 16));
    EXPECT_EQ(0, plume_writelog(PLUME_LOG_WARNING, "via plume"));
    EXPECT_EQ(nullptr, plume_getcategory());
    EXPECT_EQ(-1, plume_writelog_byname("FATAL", "no handle"));
    EXPECT_EQ(0, plume_closelog(0));  // closes the zulib log
    EXPECT_EQ(PLUME_STATE_NONE, plume_get_open_state());
    EXPECT_NE(std::string::npos, testutil::ReadFile(dir / "proclog.wf").find("WARNING: "));
    EXPECT_NE(std::string::npos, testutil::ReadFile(dir / "proclog.wf").find("via plume"));
}

TEST(PlumeApi, WorkerHandleSurvivesCloseAndReopen) {
    testutil::TempDir dir;
    logtest::StepThread worker;
    ASSERT_EQ(0, OpenFileLog(dir.path(), "first", 16));
    worker.Run([] {
        EXPECT_EQ(0, plume_writelog(PLUME_LOG_NOTICE, "worker one"));
        EXPECT_EQ(0, plume_closelog_r());
        EXPECT_EQ(-1, plume_closelog_r());
    });
    plume_closelog(0);
    ASSERT_EQ(0, OpenFileLog(dir / "again", "second", 16));
    worker.Run([] {
        EXPECT_EQ(0, plume_writelog(PLUME_LOG_NOTICE, "worker two"));
        EXPECT_EQ(-1, plume_openlog_r());  // opened on demand by the write
        EXPECT_EQ(0, plume_closelog_r());
    });
    plume_closelog(0);
    std::string first = testutil::ReadFile(dir / "tendwell.log");
    std::string second = testutil::ReadFile(dir / "again/tendwell.log");
    EXPECT_NE(std::string::npos, first.find("worker one"));
    EXPECT_EQ(std::string::npos, first.find("worker two"));
    EXPECT_NE(std::string::npos, second.find("second * "));
    EXPECT_NE(std::string::npos, second.find("worker two"));
}

TEST(PlumeApi, WriteByNameWithoutOpenUsesTheTerminal) {
    testutil::TempDir dir;
    std::string err;
    {
        StderrCapture cap(dir / "stderr");
        EXPECT_EQ(0, plume_writelog_byname("WARNING", "by name"));
        EXPECT_EQ(-1, plume_writelog_byname("NOSUCH", "x"));
        err = cap.text();
    }
    EXPECT_NE(std::string::npos, err.find("WARNING: "));
    EXPECT_NE(std::string::npos, err.find("Default * " + Tid() + " by name"));
    EXPECT_NE(std::string::npos, err.find("get logiderr[NOSUCH]"));
    EXPECT_EQ(PLUME_STATE_PLUME, plume_get_open_state());
    plume_closelog_r();
    plume_closelog(0);
}

TEST(PlumeApi, LevelRecordFromLogstat) {
    EXPECT_EQ(0x10116u, plume_level_to_mask(16));
    EXPECT_EQ(0x16u, plume_level_to_mask(4));
    EXPECT_EQ(0u, plume_level_to_mask(0));
    testutil::TempDir dir;
    auto dev = FileDevice(dir.path(), "t.log");
    dev->log_mask = 0;
    ASSERT_EQ(0, plume_selflevel_to_mask(dev.get(), "audit, billing"));
    int audit = plume_get_selflevel_id("audit");
    EXPECT_EQ(32, audit);
    EXPECT_EQ((1ULL << 32) | (1ULL << 33), dev->log_mask);
    plume_logstat_t stat;
    plume_resetlogstat(&stat);
    stat.level = 2;
    snprintf(stat.userevents, sizeof(stat.userevents), "billing");
    ASSERT_EQ(0, plume_openlog("p", dev.get(), 1, &stat));
    EXPECT_EQ(1, plume_is_level_enabled_byname("billing"));
    EXPECT_EQ(0, plume_is_level_enabled_byname("audit"));
    EXPECT_EQ(0, plume_is_level_enabled(PLUME_LOG_NOTICE));
    EXPECT_EQ(0, plume_writelog_byname("billing", "paid"));
    EXPECT_EQ(0, plume_writelog_byname("audit", "filtered"));
    plume_closelog(0);
    std::string text = testutil::ReadFile(dir / "t.log");
    EXPECT_NE(std::string::npos, text.find("billing: "));
    EXPECT_EQ(std::string::npos, text.find("filtered"));
}

}  // namespace
