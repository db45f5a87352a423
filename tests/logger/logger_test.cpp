// The base library's logger front end: attaching, filtering, colours, and the pool
// threads' plume handles.
#include "corvel/logger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>

#include "../plume/log_test_util.h"
#include "corvel/thread_pool.h"
#include "plume/layout.h"

namespace {

using corvel::Logger;
using corvel::LogPoint;

bool Log(int level, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    bool written = Logger::vlog(level, "f.cpp", 7, fmt, args);
    va_end(args);
    return written;
}

std::string LastLine(const std::string& path) { return logtest::Lines(testutil::ReadFile(path)).back(); }

TEST(Logger, AttachFileFillsTheDevice) {
    testutil::TempDir dir;
    ASSERT_EQ(0, chdir(dir.path().c_str()));
    struct {
        std::string name;
        int split, size_mb;
        const char* want_path;
        int want_split, want_size;
    } cases[] = {
        {"app.log", 1, 0, ".", PLUME_SIZECUT, 200},
        {dir / "abs.log", 2, 7, "", PLUME_DATECUT, 7},
        {"five.log", 5, -1, ".", PLUME_SIZECUT, 200},
        {"zero.log", 0, 1, ".", PLUME_TRUNCT, 1},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(Logger::attach_file(c.name.c_str(), 8, nullptr, c.split, c.size_mb)) << c.name;
        const plume_device_t& dev = corvel::g_devices();
        EXPECT_EQ(std::string(c.want_path), dev.path);
        EXPECT_EQ(c.name, dev.file);
        EXPECT_EQ(c.want_split, dev.splite_type) << c.name;
        EXPECT_EQ(c.want_size, dev.log_size) << c.name;
        EXPECT_EQ(PLUME_DEFAULT_MASK, dev.log_mask & PLUME_DEFAULT_MASK);
        EXPECT_EQ(std::string("%T\t%L\t%A %R"), corvel::g_layout().pattern);
        EXPECT_EQ(1, plume_is_level_enabled(PLUME_LOG_TRACE));  // plume's level is the Logger's 8
        EXPECT_EQ(0, plume_is_level_enabled(PLUME_LOG_DEBUG));
        EXPECT_TRUE(LogPoint("f.cpp", 3).trace("in %s", "file"));
        EXPECT_TRUE(Logger::detach());
        EXPECT_NE(std::string::npos, LastLine(c.name).find("in file [f.cpp:3]")) << c.name;
    }
}

TEST(Logger, ColoursAndResetsPerLevel) {
    testutil::TempDir dir;
    struct {
        int attach_level, level;
        bool colorful;
        std::string want;  // plume's level name, '|', the message as written
    } cases[] = {
        {16, 16, true, "DEBUG|\033[0;32mm [f.cpp:7]\033[0m"},
        {16, 8, true, "TRACE|\033[0;36mm [f.cpp:7]\033[0m"},
        {16, 4, true, "NOTICE|m [f.cpp:7]"},
        {16, 2, true, "WARNING|\033[1;33mm [f.cpp:7]\033[0m"},
        {16, 1, true, "FATAL|\033[1;31mm [f.cpp:7]\033[0m"},
        {16, 0, true, "FATAL|\033[1;37;41mm [f.cpp:7]\033[0m"},
        {32, 32, true, "NOTICE|m [f.cpp:7]\033[0m"},
        {16, 2, false, "WARNING|m [f.cpp:7]"},
    };
    for (const auto& c : cases) {
        Logger::set_colorful(c.colorful);
        ASSERT_TRUE(Logger::attach_file((dir / "c.log").c_str(), c.attach_level, "%L|%R", 1, 0));
        EXPECT_TRUE(Log(c.level, "m"));
        Logger::detach();
        EXPECT_EQ(c.want, LastLine(dir / "c.log")) << c.level;
    }
}

TEST(Logger, FilteredAndDroppedRecordsReturnTrue) {
    testutil::TempDir dir;
    struct {
        bool attach, attached_only;
        int level;
        const char* fmt;
        bool want_result, want_written;
    } cases[] = {
        {true, false, Logger::TRACE, "x", true, false},    // above the Logger's level 4
        {true, false, Logger::NOTICE, "", false, false},
        {false, true, Logger::FATAL, "x", true, false},    // dropped while not attached
        {false, false, Logger::FATAL, "x", true, true},    // through plume to standard error
    };
    for (const auto& c : cases) {
        Logger::set_attached_only(c.attached_only);
        logtest::StderrCapture cap(dir / "stderr");
        if (c.attach) {
            ASSERT_TRUE(Logger::attach_tty(Logger::NOTICE, "<%R>"));
        }
        EXPECT_EQ(c.want_result, Log(c.level, c.fmt));
        if (c.attach) Logger::detach();
        EXPECT_EQ(c.want_written, cap.text().find(" [f.cpp:7]") != std::string::npos) << c.level << c.fmt;
    }
}

TEST(Logger, SecondAttachIsRefusedAndDetachClosesOnlyItsOwnPlume) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "log.conf", "PLUME_DEVICE_NUM : 1\nPLUME_DEVICE0 : d\nd_TYPE : FILE\nd_PATH : " +
                                              dir.path() + "\nd_NAME : conf.log\n");
    EXPECT_FALSE(Logger::attach_conf(dir.path().c_str(), ""));
    ASSERT_TRUE(Logger::attach_conf(dir.path().c_str(), "log.conf"));
    EXPECT_FALSE(Logger::attach_tty(Logger::DEBUG, nullptr));
    EXPECT_FALSE(Logger::attach_file("other.log", Logger::DEBUG, nullptr, 1, 0));
    EXPECT_FALSE(Logger::attach_conf(dir.path().c_str(), "log.conf"));
    EXPECT_EQ(0, corvel::g_devices().type[0]);  // untouched by the refused attaches
    LogPoint("f.cpp", 9).warning("through the file");
    EXPECT_TRUE(Logger::detach());
    EXPECT_NE(std::string::npos, testutil::ReadFile(dir / "conf.log").find("through the file [f.cpp:9]"));
    EXPECT_FALSE(Logger::detach());

    auto dev = logtest::FileDevice(dir.path(), "own.log");
    ASSERT_EQ(0, plume_openlog("program", dev.get(), 1, nullptr));
    EXPECT_FALSE(Logger::detach());
    EXPECT_FALSE(Logger::attach_tty(Logger::DEBUG, nullptr));
    EXPECT_EQ(PLUME_STATE_PLUME, plume_get_open_state());
    EXPECT_FALSE(Logger::open_thread());
    plume_closelog(0);
}

// Also a busy thread that the pool's stop cancels closes its handle as it unwinds.
TEST(Logger, PoolThreadOpensAndClosesItsHandle) {
    struct Task : corvel::Runnable {
        explicit Task(bool block) : block(block) {}
        int run() override {
            LogPoint("pool.cpp", 5).notice("from the pool");
            done = true;
            while (block) pause();
            return 0;
        }
        bool block;
        std::atomic<bool> done{false};
    };
    for (bool block : {false, true}) {
        Task task(block);
        testutil::TempDir dir;
        ASSERT_TRUE(Logger::attach_file((dir / "pool.log").c_str(), Logger::DEBUG, "%R", 1, 0));
        corvel::ThreadPool pool;
        ASSERT_TRUE(pool.start(1, false));
        ASSERT_TRUE(pool.add(&task));
        ASSERT_TRUE(testutil::WaitFor([&task] { return task.done.load(); }, 5000));
        pool.stop(false);
        logtest::StderrCapture cap(dir / "stderr");
        EXPECT_TRUE(Logger::detach());
        EXPECT_EQ("", cap.text());  // no thread left counted open
        // The banners of the open and of the thread's open, its line, its close banners.
        auto lines = logtest::Lines(testutil::ReadFile(dir / "pool.log"));
        ASSERT_EQ(7u, lines.size()) << block;
        EXPECT_NE(std::string::npos, lines[2].find(" open log_r."));
        EXPECT_EQ("from the pool [pool.cpp:5]", lines[4]);
        EXPECT_NE(std::string::npos, lines[5].find(" close log_r."));
    }
}

}  // namespace
