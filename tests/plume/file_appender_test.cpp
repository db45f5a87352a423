// The file appender: cutting, reopening, descriptors and concurrent writers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <regex>

#include "plume/plume.h"
#include "plume/plume_event.h"
#include "appender/file_appender.h"
#include "core.h"
#include "log_test_util.h"

namespace {

using logtest::ListDir;
using plumespace::FileAppender;

std::unique_ptr<plume_device_t> Device(const std::string& dir, const char* file, unsigned char split, int size_mb) {
    auto dev = logtest::FileDevice(dir, file);
    dev->splite_type = split;
    dev->log_size = size_mb;
    return dev;
}

FileAppender* MakeAppender(plume_device_t* dev) {
    EXPECT_EQ(0, plumespace::core_init());
    return static_cast<FileAppender*>(plumespace::Appender::getAppenderByType(dev));
}

// Prints one NOTICE record with text through the appender.
int Print(FileAppender* a, const std::string& text) {
    plume_event_t* ev = plume_get_thread_event();
    snprintf(ev->msg, ev->msg_size, "%s", text.c_str());
    ev->msg_len = static_cast<int>(text.size());
    ev->level = PLUME_LOG_NOTICE;
    gettimeofday(&ev->time, nullptr);
    return a->print(ev);
}

void GrowTo(const std::string& path, off_t size) { ASSERT_EQ(0, truncate(path.c_str(), size)); }

struct CutCase {
    const char* name;
    const char* file;
    unsigned char split;
    const char* suffix_format;  // device reserved1
    const char* cut_pattern;    // files expected beside app.log after two cuts; empty: none
};

void PrintTo(const CutCase& c, std::ostream* out) { *out << c.name; }

class SizeCut : public ::testing::TestWithParam<CutCase> {};

TEST_P(SizeCut, CutsAtOneMegabyte) {
    const CutCase& c = GetParam();
    testutil::TempDir dir;
    const std::string log = dir / c.file;
    auto dev = Device(dir.path(), c.file, c.split, 1);
    snprintf(dev->reserved1, sizeof(dev->reserved1), "%s", c.suffix_format);
    FileAppender* a = MakeAppender(dev.get());
    ASSERT_NE(nullptr, a);
    for (int cut = 0; cut < 2; ++cut) {
        ASSERT_EQ(0, Print(a, "before cut " + std::to_string(cut)));
        GrowTo(log, 1048576);
        ASSERT_EQ(0, Print(a, "after cut " + std::to_string(cut)));
        EXPECT_EQ(std::string::npos, testutil::ReadFile(log).find("before cut"));
    }
    std::vector<std::string> cut_files;
    for (const std::string& name : ListDir(dir.path()))
        if (name != c.file) cut_files.push_back(name);
    if (!c.cut_pattern[0]) {
        EXPECT_TRUE(cut_files.empty()) << cut_files[0];
    } else {
        ASSERT_EQ(2u, cut_files.size());
        for (const std::string& name : cut_files) EXPECT_TRUE(std::regex_match(name, std::regex(c.cut_pattern))) << name;
    }
    plumespace::core_close();
}

INSTANTIATE_TEST_SUITE_P(Cuts, SizeCut,
                         ::testing::Values(CutCase{"sizecut", "app.log", PLUME_SIZECUT, "", R"(app\.log\.\d{14}(\.1)?)"},
                                           CutCase{"fixedsuffix", "app.log", PLUME_SIZECUT, "old", R"(app\.log\.old(\.1)?)"},
                                           CutCase{"percentname", "app%d.log", PLUME_DATECUT, "", R"(app%d\.log\.\d{14}(\.1)?)"},
                                           CutCase{"trunct", "app.log", PLUME_TRUNCT, "", ""}),
                         [](const ::testing::TestParamInfo<CutCase>& info) { return info.param.name; });

TEST(FileAppender, DateCutAfterThePeriodAndReopenAfterMove) {
    testutil::TempDir dir;
    auto dev = Device(dir.path(), "app.log", PLUME_DATECUT, 100);
    dev->cuttime = 60;
    FileAppender* a = MakeAppender(dev.get());
    ASSERT_NE(nullptr, a);
    ASSERT_EQ(0, Print(a, "one"));
    EXPECT_EQ(1u, ListDir(dir.path()).size());
    a->last_cut -= 3601;
    ASSERT_EQ(0, Print(a, "two"));
    EXPECT_EQ(2u, ListDir(dir.path()).size());
    ASSERT_EQ(0, rename((dir / "app.log").c_str(), (dir / "moved").c_str()));
    ASSERT_EQ(0, Print(a, "three"));
    EXPECT_EQ(std::string::npos, testutil::ReadFile(dir / "moved").find("three"));
    EXPECT_NE(std::string::npos, testutil::ReadFile(dir / "app.log").find("three"));
    ASSERT_EQ(0, unlink((dir / "app.log").c_str()));
    ASSERT_EQ(0, Print(a, "four"));
    EXPECT_NE(std::string::npos, testutil::ReadFile(dir / "app.log").find("four"));
    plumespace::core_close();
}

TEST(FileAppender, DescriptorStaysAboveStandardStreamsAndClosesOnExec) {
    testutil::TempDir dir;
    int saved = dup(STDIN_FILENO);
    close(STDIN_FILENO);
    auto dev = Device(dir.path(), "app.log", PLUME_SIZECUT, 100);
    FileAppender* a = MakeAppender(dev.get());
    dup2(saved, STDIN_FILENO);
    close(saved);
    ASSERT_NE(nullptr, a);
    EXPECT_GT(a->fd, STDERR_FILENO);
    EXPECT_TRUE(fcntl(a->fd, F_GETFD) & FD_CLOEXEC);
    plumespace::core_close();
}

TEST(FileAppender, LongPathIsNeverCut) {
    testutil::TempDir dir;
    std::string path = dir.path();
    while (path.size() < 900) {
        path += "/" + std::string(150, 'd');
        ASSERT_EQ(0, mkdir(path.c_str(), 0700));
    }
    std::string file(200, 'f');
    auto dev = Device(path, file.c_str(), PLUME_SIZECUT, 100);
    FileAppender* a = MakeAppender(dev.get());
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(path + "/" + file, a->fullpath);
    EXPECT_EQ(0, Print(a, "deep"));
    EXPECT_NE(std::string::npos, testutil::ReadFile(path + "/" + file).find("deep"));
    plumespace::core_close();
}

TEST(FileAppender, FailedWriteReportsAndReopens) {
    auto dev = Device("/dev", "full", PLUME_SIZECUT, 100);
    FileAppender* a = MakeAppender(dev.get());
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(-1, Print(a, "lost"));
    EXPECT_EQ(-1, a->fd);
    EXPECT_EQ(-1, Print(a, "lost again"));
    plumespace::core_close();
}

TEST(FileAppender, TwoDevicesOfOneFileShareTheAppender) {
    testutil::TempDir dir;
    auto first = Device(dir.path(), "app.log", PLUME_SIZECUT, 100);
    auto second = Device(dir.path(), "app.log", PLUME_TRUNCT, 5);
    FileAppender* a = MakeAppender(first.get());
    EXPECT_EQ(a, MakeAppender(second.get()));
    EXPECT_EQ(100, a->device.log_size);
    second->log_size = 0;
    EXPECT_EQ(a, plumespace::Appender::tryAppenderByType(second.get()));
    // Unset sizes and periods take fixed values (2018 MB, not the reset's 2048).
    auto third = Device(dir.path(), "third.log", PLUME_SIZECUT, 0);
    third->cuttime = -1;
    FileAppender* b = MakeAppender(third.get());
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(2018, b->device.log_size);
    EXPECT_EQ(10000000, b->device.cuttime);
    plumespace::core_close();
}

// Eight writers and a thread that keeps pushing the file to the cut size and opens decoy
// files: every line lands exactly once, whole, in the log files and never in a decoy.
TEST(FileAppender, ConcurrentWritersAcrossCutsLoseNothing) {
    testutil::TempDir dir;
    testutil::TempDir decoys;
    auto dev = Device(dir.path(), "app.log", PLUME_SIZECUT, 1);
    ASSERT_EQ(0, plume_openlog("conc", dev.get(), 1, nullptr));
    constexpr int WRITERS = 8, LINES = 1500;
    const std::string pad(180, 'p');
    const std::string log = dir / "app.log";
    std::atomic<bool> done{false};
    std::thread disturber([&] {
        int forced = 0;
        for (int round = 0; !done.load(); ++round) {
            struct stat st;
            // Only ever extends the file: the next write then finds it at the cut size.
            if (forced < 60 && stat(log.c_str(), &st) == 0 && st.st_size < 65536 &&
                truncate(log.c_str(), 1048576) == 0)
                ++forced;
            int fds[8];
            for (int& fd : fds) fd = open((decoys / ("d" + std::to_string(round % 50))).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            for (int fd : fds) close(fd);
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < WRITERS; ++w)
        writers.emplace_back([&, w] {
            EXPECT_EQ(0, plume_openlog_r());
            for (int i = 0; i < LINES; ++i) plume_writelog(PLUME_LOG_NOTICE, "w%d i%d %s end", w, i, pad.c_str());
            plume_closelog_r();
        });
    for (auto& t : writers) t.join();
    done.store(true);
    disturber.join();
    plume_closelog(0);

    for (const std::string& name : ListDir(decoys.path())) EXPECT_EQ("", testutil::ReadFile(decoys / name)) << name;
    std::map<std::string, int> seen;
    int cut_files = 0;
    for (const std::string& name : ListDir(dir.path())) {
        cut_files += name != "app.log";
        std::string text = testutil::ReadFile(dir / name);
        text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());  // the forced gaps
        ASSERT_TRUE(text.empty() || text.back() == '\n');
        for (const std::string& line : logtest::Lines(text)) {
            size_t at = line.find(" w");
            if (at == std::string::npos) continue;
            std::string key = line.substr(at + 1, line.find(' ', line.find(" i", at) + 1) - at - 1);
            ASSERT_EQ(0u, line.find("NOTICE: ")) << line.substr(0, 120);
            ASSERT_EQ(line.substr(at + 1), key + " " + pad + " end") << line.substr(0, 120);
            ++seen[key];
        }
    }
    EXPECT_GE(cut_files, 2);
    ASSERT_EQ(static_cast<size_t>(WRITERS * LINES), seen.size());
    for (const auto& entry : seen) ASSERT_EQ(1, entry.second) << entry.first;
}

}  // namespace
