// The zulib process log: file layout by level, rotation, self-defined files, failures.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <regex>
#include <thread>

#include "../plume/log_test_util.h"
#include "shm_test_keys.h"
#include "zulib/zu_log.h"

namespace {

using logtest::Lines;
using logtest::ListDir;
using logtest::StderrCapture;

// zu_openlog registers in the shared-memory table: never in the machine-wide one.
const testkeys::OwnShmKeys g_keys;

TEST(ZuLog, LevelsLandInTheirFiles) {
    testutil::TempDir dir;
    zu_logstat_t st = {8, 0, 0};
    ASSERT_EQ(0, zu_openlog(dir.path().c_str(), "my_proc", &st, 0, nullptr));
    EXPECT_EQ(-1, zu_openlog(dir.path().c_str(), "again", &st, 0, nullptr));
    EXPECT_EQ(0, zu_writelog(ZU_LOG_FATAL, "f %d", 1));
    EXPECT_EQ(0, zu_writelog(ZU_LOG_WARNING, "w %d", 2));
    EXPECT_EQ(0, zu_writelog(ZU_LOG_NOTICE, "n %d", 4));
    EXPECT_EQ(0, zu_writelog(ZU_LOG_TRACE, "t %d", 8));
    EXPECT_EQ(-3, zu_writelog(ZU_LOG_DEBUG, "d %d", 16));
    EXPECT_EQ(0, zu_writelog(5, "plain"));
    EXPECT_EQ(-3, zu_writelog(32, "above the threshold"));
    EXPECT_EQ(1, zu_is_level_enabled(ZU_LOG_TRACE));
    EXPECT_EQ(0, zu_is_level_enabled(ZU_LOG_DEBUG));
    EXPECT_EQ(0, zu_closelog(0));
    EXPECT_EQ(ZU_LOG_STATE_NONE, zu_log_get_open_state());

    auto normal = Lines(testutil::ReadFile(dir / "mylog"));
    auto wf = Lines(testutil::ReadFile(dir / "mylog.wf"));
    std::string head = R"(\d\d-\d\d \d\d:\d\d:\d\d:  my \* \d+ )";
    std::vector<std::string> want_normal = {"\\* Open process log by----my_proc", "=+", "NOTICE: " + head + "n 4",
                                            "TRACE: " + head + "t 8", head + "plain", head + "< - > Normally end process", "=+"};
    std::vector<std::string> want_wf = {"\\* Open process log by----my_proc for wf", "=+", "FATAL: " + head + "f 1",
                                        "WARNING: " + head + "w 2", head + "< - > Normally end process", "=+"};
    ASSERT_EQ(want_normal.size(), normal.size());
    ASSERT_EQ(want_wf.size(), wf.size());
    // Banner lines start with the line head too; their first line is checked by its tail.
    EXPECT_TRUE(std::regex_match(normal[0], std::regex(head + want_normal[0]))) << normal[0];
    EXPECT_TRUE(std::regex_match(wf[0], std::regex(head + want_wf[0]))) << wf[0];
    for (size_t i = 1; i < normal.size(); ++i)
        EXPECT_TRUE(std::regex_match(normal[i], std::regex(want_normal[i]))) << normal[i];
    for (size_t i = 1; i < wf.size(); ++i) EXPECT_TRUE(std::regex_match(wf[i], std::regex(want_wf[i]))) << wf[i];
}

TEST(ZuLog, EveryLineAlsoGoesToStandardError) {
    testutil::TempDir dir;
    std::string err;
    {
        StderrCapture cap(dir / "stderr");
        ASSERT_EQ(0, zu_openlog(dir.path().c_str(), "p", nullptr, 0, nullptr));
        EXPECT_EQ(0, zu_writelog(ZU_LOG_NOTICE, "twice %s %d", "over", 9));
        zu_closelog(1);
        err = cap.text();
    }
    EXPECT_NE(std::string::npos, err.find("Open log file plog success!"));
    EXPECT_NE(std::string::npos, err.find("twice over 9"));
    EXPECT_NE(std::string::npos, err.find("Close log successed."));
    std::string normal = testutil::ReadFile(dir / "plog");
    EXPECT_NE(std::string::npos, normal.find("twice over 9"));
    EXPECT_NE(std::string::npos, normal.find("< ! > Abnormally end process"));
}

TEST(ZuLog, RotationKeepsEveryLineOnce) {
    testutil::TempDir dir;
    zu_logstat_t st = {255, 0, ZU_LOG_SPEC_KEEPROTATED};
    ASSERT_EQ(0, zu_openlog(dir.path().c_str(), "rot", &st, 1, nullptr));
    constexpr int THREADS = 4, LINES = 3000;
    const std::string pad(150, 'x');
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
        threads.emplace_back([&, t] {
            ASSERT_EQ(0, zu_openlog_r("worker", &st, nullptr));
            for (int i = 0; i < LINES; ++i) ASSERT_EQ(0, zu_writelog(ZU_LOG_NOTICE, "t%d-%d %s", t, i, pad.c_str()));
            EXPECT_EQ(0, zu_closelog_r(0));
        });
    for (auto& t : threads) t.join();
    zu_closelog(0);
    std::map<std::string, int> seen;
    int rotated = 0;
    for (const std::string& name : ListDir(dir.path())) {
        if (name.find("rotlog.wf") == 0) continue;
        rotated += name != "rotlog";
        EXPECT_TRUE(std::regex_match(name, std::regex(R"(rotlog(\.\d{14}(\.\d+)?)?)"))) << name;
        for (const std::string& line : Lines(testutil::ReadFile(dir / name))) {
            size_t at = line.find(" t");
            if (line.find("NOTICE: ") != 0 || at == std::string::npos) continue;
            size_t space = line.find(' ', at + 1);
            ASSERT_EQ(pad, line.substr(space + 1));
            ++seen[line.substr(at + 1, space - at - 1)];
        }
    }
    EXPECT_GE(rotated, 1);
    ASSERT_EQ(static_cast<size_t>(THREADS * LINES), seen.size());
    for (const auto& entry : seen) ASSERT_EQ(1, entry.second) << entry.first;
}

TEST(ZuLog, DiscardingRotationStartsAnEmptyFile) {
    testutil::TempDir dir;
    zu_logstat_t st = {255, 0, 0};
    ASSERT_EQ(0, zu_openlog(dir.path().c_str(), "d", &st, 1, nullptr));
    ASSERT_EQ(0, truncate((dir / "dlog").c_str(), 1048576));
    EXPECT_EQ(0, zu_writelog(ZU_LOG_NOTICE, "fresh"));
    EXPECT_EQ(2u, ListDir(dir.path()).size());  // dlog and dlog.wf, no ".tmp" left
    EXPECT_EQ(1u, Lines(testutil::ReadFile(dir / "dlog")).size());
    zu_closelog(0);
}

TEST(ZuLog, SelfDefinedFiles) {
    testutil::TempDir dir;
    zu_logstat_t st = {4, 0, 0};
    zu_selflog_t self{};
    self.count = 9;
    EXPECT_EQ(-1, zu_openlog(dir.path().c_str(), "s", &st, 0, &self));
    self.count = 2;
    self.enabled[0] = 1;
    EXPECT_EQ(-1, zu_openlog(dir.path().c_str(), "s", &st, 0, &self));  // enabled without a name
    snprintf(self.names[0], sizeof(self.names[0]), "audit");
    ASSERT_EQ(0, zu_openlog(dir.path().c_str(), "s", &st, 0, &self));  // entry 1: disabled, no name
    EXPECT_EQ(1, zu_is_level_enabled(ZU_LOG_SELF_BASE));
    EXPECT_EQ(0, zu_is_level_enabled(ZU_LOG_SELF_BASE + 1));
    EXPECT_EQ(0, zu_writelog(ZU_LOG_SELF_BASE, "who %s", "me"));
    zu_closelog(0);
    EXPECT_TRUE(std::regex_search(testutil::ReadFile(dir / "saudit.sdf.log"),
                                  std::regex(R"(SDF_LOG: LEVEL:0 \d\d-\d\d \d\d:\d\d:\d\d: s \* \d+who me)")));
}

TEST(ZuLog, LongDirectoryFailsCleanly) {
    testutil::TempDir dir;
    std::string err;
    {
        StderrCapture cap(dir / "stderr");
        std::string missing = dir.path() + "/" + std::string(1000 - dir.path().size() - 1, 'm');
        EXPECT_EQ(-1, zu_openlog(missing.c_str(), "p", nullptr, 0, nullptr));
        err = cap.text();
    }
    EXPECT_NE(std::string::npos, err.find("in zu_log:Can't open log file : plog, exit!"));
    EXPECT_EQ(ZU_LOG_STATE_NONE, zu_log_get_open_state());

    // "log" fits a path but "log.wf" does not: the open fails instead of cutting the name.
    std::string deep = dir.path() + "/sub";
    ASSERT_EQ(0, mkdir(deep.c_str(), 0700));
    while (deep.size() < 1017) {
        deep += "/" + std::string(std::min<size_t>(200, 1017 - deep.size() - 1), 'd');
        ASSERT_EQ(0, mkdir(deep.c_str(), 0700));
    }
    zu_logstat_t st = {255, 0, 0};
    EXPECT_EQ(-1, zu_openlog(deep.c_str(), "p", &st, 0, nullptr));
    for (const std::string& name : ListDir(deep)) EXPECT_EQ("plog", name);
}

TEST(ZuLog, LineThatCannotBeWrittenReportsMinusOne) {
    testutil::TempDir dir;
    std::string logdir = dir / "logs";
    ASSERT_EQ(0, mkdir(logdir.c_str(), 0700));
    zu_logstat_t st = {255, 0, 0};
    ASSERT_EQ(0, zu_openlog(logdir.c_str(), "x", &st, 0, nullptr));
    ASSERT_EQ(0, system(("rm -rf '" + logdir + "' && touch '" + logdir + "'").c_str()));
    EXPECT_EQ(-1, zu_writelog(ZU_LOG_NOTICE, "dropped"));
    zu_closelog(0);
}

TEST(ZuLog, ThreadWithoutRecordWritesToStandardError) {
    // Before the first process log a thread log cannot be opened; any earlier test opens
    // one, so this is seen in a process of its own (a death test runs the program anew).
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(_exit(zu_openlog_r("early", nullptr, nullptr) == -1 ? 0 : 1), testing::ExitedWithCode(0),
                "in zu_log :no space!");
    testutil::TempDir dir;
    std::string err;
    {
        StderrCapture cap(dir / "stderr");
        zu_logstat_t st = {4, 0, 0};
        ASSERT_EQ(0, zu_openlog(dir.path().c_str(), "main", &st, 0, nullptr));
        std::thread([] {
            EXPECT_EQ(0, zu_writelog(ZU_LOG_NOTICE, "stray"));
            EXPECT_EQ(-3, zu_writelog(ZU_LOG_TRACE, "filtered"));
        }).join();
        zu_closelog(0);
        err = cap.text();
    }
    EXPECT_TRUE(std::regex_search(err, std::regex(R"(NOTICE: \d\d-\d\d \d\d:\d\d:\d\d:  main \* 0 stray)"))) << err;
    EXPECT_EQ(std::string::npos, testutil::ReadFile(dir / "mainlog").find("stray"));
}

}  // namespace
