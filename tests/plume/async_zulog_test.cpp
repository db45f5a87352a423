// The utility-log appender's split by level, and the asynchronous file appender's order,
// batches, full queue and drain on destruction.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

#include "appender/async_file_appender.h"
#include "core.h"
#include "log_test_util.h"
#include "plume/plume_event.h"
#include "record_queue.h"

namespace {

using plumespace::AsyncFileAppender;
using plumespace::QueuedRecord;

// The messages of the file's lines, banners left out.
std::vector<std::string> Messages(const std::string& path) {
    std::vector<std::string> out;
    for (const std::string& line : logtest::Lines(testutil::ReadFile(path)))
        if (line.find("------------") == std::string::npos) out.push_back(line.substr(line.rfind(' ') + 1));
    return out;
}

// Prints one NOTICE record with text straight through the appender.
int PrintLine(plumespace::Appender* a, const std::string& text) {
    plume_event_t* ev = plume_get_thread_event();
    ev->msg_len = snprintf(ev->msg, ev->msg_size, "%s", text.c_str());
    ev->level = PLUME_LOG_NOTICE;
    gettimeofday(&ev->time, nullptr);
    return a->print(ev);
}

TEST(ZuLogAppender, SplitsTheFileByLevel) {
    struct {
        bool self_defined;
        std::vector<std::string> sf;
    } cases[] = {{false, {}}, {true, {"audit"}}};
    for (const auto& c : cases) {
        testutil::TempDir dir;
        auto dev = logtest::FileDevice(dir.path(), "app.log");
        snprintf(dev->type, sizeof(dev->type), "ZULOG");
        if (c.self_defined) plume_selflevel_to_mask(dev.get(), "audit");
        plume_logstat_t stat;
        plume_resetlogstat(&stat);
        ASSERT_EQ(0, plume_openlog("zulog", dev.get(), 1, &stat));
        plume_writelog(PLUME_LOG_NOTICE, "notice");
        plume_writelog(PLUME_LOG_WARNING, "warning");
        plume_writelog(PLUME_LOG_FATAL, "fatal");
        plume_writelog(PLUME_LOG_DEBUG, "debug");
        plume_writelog_byname("audit", "audit");
        plume_closelog(0);
        EXPECT_EQ(std::vector<std::string>({"notice", "debug"}), Messages(dir / "app.log"));
        EXPECT_EQ(std::vector<std::string>({"warning", "fatal"}), Messages(dir / "app.log.wf"));
        EXPECT_EQ(c.self_defined, testutil::FileExists(dir / "app.log.sf"));
        EXPECT_EQ(c.sf, Messages(dir / "app.log.sf"));
    }
}

TEST(RecordQueue, TakesBatchesOldestFirstAndRefusesBeyondItsCapacity) {
    plumespace::RecordQueue queue;
    ASSERT_EQ(0, queue.create(3000));
    for (uint32_t i = 0; i < 3000; ++i) ASSERT_EQ(0, queue.push(nullptr, i, "x", 1));
    EXPECT_EQ(-1, queue.push(nullptr, 0, "x", 1));
    QueuedRecord* batch[AsyncFileAppender::BATCH_SIZE];
    uint32_t next = 0;
    for (int want : {1024, 1024, 952, 0}) {
        int n = queue.timedPop(batch, AsyncFileAppender::BATCH_SIZE, 0);
        ASSERT_EQ(want, n);
        for (int i = 0; i < n; ++i, ++next) EXPECT_EQ(next, batch[i]->time);
        queue.finished(batch, n);
    }
    EXPECT_EQ(0, queue.pending());
    EXPECT_EQ(0, queue.push(nullptr, 0, std::string(300, 'y').c_str(), 300));
    EXPECT_EQ(1, queue.timedPop(batch, 1, 0));
    EXPECT_EQ(std::string(300, 'y'), std::string(batch[0]->line, batch[0]->len));
    queue.finished(batch, 1);
}

TEST(AsyncFileAppender, ThreadsKeepTheirOrderAndCloseWritesEverything) {
    testutil::TempDir dir;
    auto dev = logtest::FileDevice(dir.path(), "app.log");
    snprintf(dev->type, sizeof(dev->type), "AFILE");
    ASSERT_EQ(0, plume_openlog("afile", dev.get(), 1, nullptr));
    constexpr int kThreads = 4, kLines = 3000;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) plume_writelog(PLUME_LOG_NOTICE, "%d:%d", t, i);
            plume_closelog_r();
        });
    for (auto& w : writers) w.join();
    plume_closelog(0);  // what the writer has not written yet is written now
    std::vector<int> next(kThreads, 0);
    for (const std::string& m : Messages(dir / "app.log")) {
        int t = std::stoi(m), i = std::stoi(m.substr(m.find(':') + 1));
        EXPECT_EQ(next[t]++, i) << m;
    }
    EXPECT_EQ(std::vector<int>(kThreads, kLines), next);
}

// Started before any open, the writer sleeps instead of spinning, and writes once open.
TEST(AsyncFileAppender, WriterSleepsUntilOpen) {
    struct Unopened : AsyncFileAppender {
        int Start() { return begin(); }
    };
    testutil::TempDir dir;
    auto dev = logtest::FileDevice(dir.path(), "app.log");
    auto* a = new Unopened();
    a->copyDevice(*dev);
    ASSERT_EQ(0, a->Start());
    clockid_t clock;
    ASSERT_EQ(0, pthread_getcpuclockid(a->writer.native_handle(), &clock));
    auto cpu_ms = [clock] {
        struct timespec ts;
        clock_gettime(clock, &ts);
        return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
    };
    ASSERT_EQ(0, PrintLine(a, "queued before open"));
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(testutil::WaitFor([&] { return cpu_ms() > 100; }, 300));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_FALSE(testutil::FileExists(dir / "app.log"));
    ASSERT_EQ(0, a->open(nullptr));
    EXPECT_TRUE(testutil::WaitFor([&] { return !Messages(dir / "app.log").empty(); }, 5000));
    delete a;
    EXPECT_EQ(std::vector<std::string>({"open"}), Messages(dir / "app.log"));
}

// The file is a full pipe: the writer stays blocked until the test reads it.
TEST(AsyncFileAppender, FullQueueDropsAndDestructionDrains) {
    testutil::TempDir dir;
    const std::string path = dir / "app.log";
    ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
    int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    int filler = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    size_t filled = 0;
    for (char block[4096] = {}; write(filler, block, sizeof(block)) > 0;) filled += sizeof(block);
    for (char c = 0; write(filler, &c, 1) == 1;) ++filled;
    close(filler);
    auto dev = logtest::FileDevice(dir.path(), "app.log");
    snprintf(dev->type, sizeof(dev->type), "AFILE");
    ASSERT_EQ(0, plumespace::core_init());
    auto* a = static_cast<AsyncFileAppender*>(plumespace::Appender::getAppenderByType(dev.get()));
    ASSERT_NE(nullptr, a);
    int queued = 0;
    while (queued < 2 * AsyncFileAppender::QUEUE_SIZE && PrintLine(a, "line " + std::to_string(queued)) == 0) ++queued;
    EXPECT_GT(queued, AsyncFileAppender::QUEUE_SIZE);
    EXPECT_LE(queued, AsyncFileAppender::QUEUE_SIZE + AsyncFileAppender::BATCH_SIZE);
    std::string out;
    std::thread drain([&] {
        testutil::WaitFor([&] {
            char buf[65536];
            for (ssize_t n; (n = read(reader, buf, sizeof(buf))) > 0;) out.append(buf, static_cast<size_t>(n));
            return out.size() > filled && out.find("line " + std::to_string(queued - 1) + "\n") != std::string::npos;
        }, 10000);
    });
    plumespace::core_close();  // destroys the appender
    drain.join();
    close(reader);
    std::vector<std::string> lines = logtest::Lines(out.substr(filled));
    ASSERT_EQ(static_cast<size_t>(queued), lines.size());
    for (int i = 0; i < queued; ++i) EXPECT_EQ(" line " + std::to_string(i), lines[i].substr(lines[i].rfind(" line")));
}

}  // namespace
