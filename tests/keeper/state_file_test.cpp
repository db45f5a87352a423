// The state file: exact bytes, compatibility with Boost's text archives in both
// directions, damaged files, and saves that fail without harming the old file.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/archive/text_iarchive.hpp>
#include <boost/archive/text_oarchive.hpp>
#include <boost/serialization/map.hpp>
#include <boost/serialization/string.hpp>
#include <boost/serialization/version.hpp>
#include <climits>
#include <fstream>
#include <functional>
#include <sstream>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "keeper/process_keeper.h"
#include "test_util.h"

BOOST_CLASS_VERSION(tendwell::ProcessKeeper::Process, 1)

namespace {

using tendwell::ProcessKeeper;
using Table = std::map<std::string, ProcessKeeper::Process>;
using testutil::FileExists;
using testutil::ReadFile;
using testutil::WriteFile;

auto Fields(const ProcessKeeper::Process& p) {
    return std::tie(p.name, p.command, p.start_command, p.check_command, p.check_interval_ms,
                    p.running, p.status, p.pid, p.exit_status, p.start_time_us);
}

ProcessKeeper::Process Record(const std::string& name, const std::string& command, int32_t status,
                              int32_t pid, int32_t exit_status, int64_t stamp) {
    ProcessKeeper::Process p(name, command);
    p.status = status;
    p.running = status == ProcessKeeper::PROCESS_RUNNING;
    p.pid = pid;
    p.exit_status = exit_status;
    p.start_time_us = stamp;
    return p;
}

// Several records with every kind of awkward value; one active among stopped ones.
Table SampleTable() {
    Table table;
    auto add = [&table](const ProcessKeeper::Process& p) { table[p.name] = p; };
    add(Record("web", "sleep 100", 2, 812, -1, 123));
    ProcessKeeper::Process check("name with blanks", "start it", "check  it", 1500);
    check.exit_status = 768;
    add(check);
    add(Record("lines\tand\nbreaks", "", 0, INT32_MIN, INT32_MIN, INT64_MAX));
    ProcessKeeper::Process wide("z", "", "", UINT32_MAX);
    wide.start_time_us = INT64_MIN;
    add(wide);
    return table;
}

// A keeper whose state file lives in its own directory, and what it warns of.
class StateFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        keeper_.SetWarningSink([this](const char* operation, const std::string& text) {
            warnings_.push_back(std::string(operation) + ": " + text);
        });
        ASSERT_TRUE(keeper_.Init(path_));
    }
    void AddAll(const Table& table) {
        for (const auto& item : table) keeper_.Add(item.second, nullptr);
    }
    Table Current() {
        Table out;
        keeper_.GetAll(&out);
        return out;
    }

    testutil::TempDir dir_;
    const std::string path_ = dir_ / "keeper.save";
    ProcessKeeper keeper_;
    std::vector<std::string> warnings_;
};

// Puts something in place for a case; 0 on success.
using Plant = std::pair<const char*, std::function<int()>>;

void ExpectSameTable(const Table& want, const Table& got) {
    ASSERT_EQ(want.size(), got.size());
    for (const auto& item : want) {
        auto found = got.find(item.first);
        ASSERT_NE(found, got.end()) << item.first;
        EXPECT_EQ(Fields(item.second), Fields(found->second)) << item.first;
    }
}

TEST_F(StateFileTest, WritesTheWebExampleByteForByte) {
    keeper_.Add(Record("web", "sleep 100", 2, 812, -1, 123), nullptr);
    EXPECT_EQ(ReadFile(path_),
              "22 serialization::archive 10 0 0 1 0 0 0 3 web 0 1 3 web 9 sleep 100 0  0  0 1 812 "
              "-1 123 2\n");
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(FileExists(path_ + ".new"));
}

// Beside the state file, the boot and each named process's start ticks, by pid and
// name; a name is its length and its bytes, whatever they are. A later load reads
// them back.
TEST_F(StateFileTest, IdentityFileStandsBesideTheStateFile) {
    ProcessKeeper::Process web = Record("web", "sleep 100", 2, 812, -1, 123);
    web.start_ticks = 4242;
    keeper_.Add(web, nullptr);
    ProcessKeeper::Process odd = Record("a b\n7 9", "sleep 100", 0, 813, 0, 124);
    odd.start_ticks = 77;
    keeper_.Add(odd, nullptr);
    keeper_.Add(Record("never", "true", 0, -1, -1, -1), nullptr);
    keeper_.Add(ProcessKeeper::Process("checked", "start", "check", 1000), nullptr);
    std::string boot = ReadFile("/proc/sys/kernel/random/boot_id");
    boot.resize(boot.find('\n'));
    EXPECT_EQ(ReadFile(path_ + ".ident"),
              "tendwell identity 1\nboot " + boot + "\n813 77 7 a b\n7 9\n812 4242 3 web\n");
    struct stat st;
    ASSERT_EQ(stat((path_ + ".ident").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(FileExists(path_ + ".ident.new"));

    ASSERT_TRUE(keeper_.Load());
    Table loaded = Current();
    EXPECT_EQ(loaded["web"].start_ticks, 4242u);
    EXPECT_EQ(loaded["a b\n7 9"].start_ticks, 77u);
    EXPECT_EQ(loaded["a b\n7 9"].pid, 813);
}

TEST_F(StateFileTest, FileGoesAwayWhenNothingIsActive) {
    keeper_.Add(Record("web", "sleep 100", 2, 812, -1, 123), nullptr);
    keeper_.Add(Record("idle", "true", 0, -1, -1, -1), nullptr);
    ASSERT_TRUE(FileExists(path_));
    ASSERT_TRUE(FileExists(path_ + ".ident"));
    std::string msg;
    EXPECT_TRUE(keeper_.Remove("web", &msg));
    EXPECT_EQ(msg, "web removed.");
    EXPECT_FALSE(FileExists(path_));
    EXPECT_FALSE(FileExists(path_ + ".new"));
    EXPECT_FALSE(FileExists(path_ + ".ident"));
    EXPECT_TRUE(keeper_.Save());
}

// An idle keeper writes nothing: an unchanged table is written again only when its
// file has gone or is not the one written.
TEST_F(StateFileTest, UnchangedTableIsWrittenOnlyWhenItsFileIsNotTheOneWritten) {
    keeper_.Add(Record("web", "sleep 100", 2, 812, -1, 123), nullptr);
    const std::string saved = ReadFile(path_);
    struct stat written;
    ASSERT_EQ(stat(path_.c_str(), &written), 0);
    for (int i = 0; i < 3; ++i) Current();
    keeper_.Add(Record("web", "sleep 100", 2, 812, -1, 123), nullptr);
    struct stat now;
    ASSERT_EQ(stat(path_.c_str(), &now), 0);
    EXPECT_EQ(now.st_ino, written.st_ino);
    EXPECT_EQ(now.st_mtim.tv_nsec, written.st_mtim.tv_nsec);

    const Plant cases[] = {
        {"removed", [&] { return unlink(path_.c_str()); }},
        {"cut", [&] { return truncate(path_.c_str(), 10); }},
        {"identities removed", [&] { return unlink((path_ + ".ident").c_str()); }},
    };
    const std::string identities = ReadFile(path_ + ".ident");
    for (const Plant& c : cases) {
        ASSERT_EQ(c.second(), 0) << c.first;
        Current();
        EXPECT_EQ(ReadFile(path_), saved) << c.first;
        EXPECT_EQ(ReadFile(path_ + ".ident"), identities) << c.first;
    }
    // Nothing active: there is to be no file.
    keeper_.Remove("web", nullptr);
    EXPECT_FALSE(FileExists(path_));
}

// A file another process has put in the place of the keeper's own is that process's:
// no save replaces or removes it, each fails and says why; where none stands again,
// the keeper makes its own.
TEST_F(StateFileTest, SaveLeavesAFileAnotherProcessMade) {
    keeper_.Add(Record("web", "sleep 100", 2, 812, -1, 123), nullptr);
    const std::string saved = ReadFile(path_);
    const std::string other = dir_ / "other";
    ASSERT_TRUE(WriteFile(other, "theirs"));
    ASSERT_EQ(rename(other.c_str(), path_.c_str()), 0);
    warnings_.clear();
    EXPECT_FALSE(keeper_.Save());
    EXPECT_EQ(ReadFile(path_), "theirs");
    const std::string made = "Save: state file " + path_ + " was made by another process";
    EXPECT_EQ(warnings_, std::vector<std::string>{made});
    ASSERT_EQ(unlink(path_.c_str()), 0);
    EXPECT_TRUE(keeper_.Save());
    EXPECT_EQ(ReadFile(path_), saved);
    // Nothing active: the keeper's own file goes, another's stays.
    ASSERT_TRUE(WriteFile(other, "theirs"));
    ASSERT_EQ(rename(other.c_str(), path_.c_str()), 0);
    keeper_.Remove("web", nullptr);
    EXPECT_EQ(ReadFile(path_), "theirs");
}

// A keeper that owns its files writes its table over a file another process put in
// their place, and says so.
TEST_F(StateFileTest, AnOwnerWritesOverAFileAnotherProcessMade) {
    keeper_.SetOwnsFiles();
    keeper_.Add(Record("web", "sleep 100", 2, 812, -1, 123), nullptr);
    const std::string saved = ReadFile(path_);
    const std::string other = dir_ / "other";
    ASSERT_TRUE(WriteFile(other, "theirs"));
    ASSERT_EQ(rename(other.c_str(), path_.c_str()), 0);
    warnings_.clear();
    EXPECT_TRUE(keeper_.Save());
    EXPECT_EQ(ReadFile(path_), saved);
    const std::string taken =
        "Save: state file " + path_ + " was replaced; this daemon's table is written over it";
    EXPECT_EQ(warnings_, std::vector<std::string>{taken});
}

TEST_F(StateFileTest, BoostWritesTheSameBytesAndReadsOurs) {
    const Table table = SampleTable();
    AddAll(table);
    const std::string ours = ReadFile(path_);

    // Boost 1.74 writes library version 18; the tokens are otherwise the same.
    std::ostringstream boost_text;
    {
        boost::archive::text_oarchive out(boost_text);
        out << table;
    }
    std::string theirs = boost_text.str();
    const std::string header = "22 serialization::archive ";
    ASSERT_EQ(theirs.compare(0, header.size(), header), 0);
    theirs.replace(header.size(), theirs.find(' ', header.size()) - header.size(), "10");
    EXPECT_EQ(ours, theirs);

    Table loaded;
    std::istringstream in(ours);
    boost::archive::text_iarchive archive(in);
    archive >> loaded;
    ExpectSameTable(table, loaded);

    ASSERT_TRUE(WriteFile(path_, theirs));
    ASSERT_TRUE(keeper_.Load());
    ExpectSameTable(table, Current());
}

struct DamagedCase {
    const char* label;
    std::string text;
    bool loads;
    // Name -> state of what the table holds after the load.
    std::map<std::string, int32_t> left;
};

// Keeps the test names short: the label says which file it is.
void PrintTo(const DamagedCase& c, std::ostream* os) { *os << c.label; }

const std::string kTwoRecords =
    "22 serialization::archive 10 0 0 2 0 0 0 1 a 0 1 1 a 7 sleep 1 0  0  0 1 100 -1 5 2 1 b 1 b 0 "
    " 5 start 5 check 1000 0 -1 768 -1 0\n";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    size_t at = text.find(from);
    return at == std::string::npos ? "pattern missing" : text.replace(at, from.size(), to);
}

class DamagedFileTest : public StateFileTest, public ::testing::WithParamInterface<DamagedCase> {};

TEST_P(DamagedFileTest, LoadsWhatItCanAndNeverCrashes) {
    const DamagedCase& c = GetParam();
    keeper_.Add(Record("old", "true", 0, -1, -1, -1), nullptr);
    ASSERT_TRUE(WriteFile(path_, c.text));
    EXPECT_EQ(keeper_.Load(), c.loads);
    std::map<std::string, int32_t> left;
    for (const auto& item : Current()) left[item.first] = item.second.status;
    EXPECT_EQ(left, c.left);
}

const DamagedCase kDamagedCases[] = {
    {"Valid", kTwoRecords, true, {{"a", 2}, {"b", 0}}},
    {"WrongSignature", Replace(kTwoRecords, "archive", "archivX"), false, {{"old", 0}}},
    {"Version11", Replace(kTwoRecords, "archive 10", "archive 11"), false, {{"old", 0}}},
    {"Version3WithoutItemVersion", Replace(kTwoRecords, "archive 10 0 0 2 0", "archive 3 0 0 2"),
     true, {{"a", 2}, {"b", 0}}},
    {"ClassVersion2", Replace(kTwoRecords, "1 a 0 1", "1 a 0 2"), false, {}},
    {"ClassVersion0Running",
     "22 serialization::archive 10 0 0 1 0 0 0 1 a 0 0 1 a 7 sleep 1 0  0  0 1 100 -1 5\n", true,
     {{"a", 2}}},
    {"ClassVersion0Stopped",
     "22 serialization::archive 10 0 0 1 0 0 0 1 a 0 0 1 a 7 sleep 1 0  0  0 0 100 -1 5\n", true,
     {{"a", 0}}},
    {"CutInSecondRecord", kTwoRecords.substr(0, kTwoRecords.find("5 check") + 4), false, {{"a", 2}}},
    {"AbsurdLength", Replace(kTwoRecords, "1 b 1 b", "1 b 99999999999999 b"), false, {{"a", 2}}},
    {"LargestLength", Replace(kTwoRecords, "1 b 1 b", "1 b 18446744073709551615 b"), false,
     {{"a", 2}}},
    {"LengthOverflow", Replace(kTwoRecords, "1 b 1 b", "1 b 99999999999999999999999 b"), false,
     {{"a", 2}}},
    {"LengthPastEnd", Replace(kTwoRecords, "5 check", "99 check"), false, {{"a", 2}}},
    {"GarbageNumber", Replace(kTwoRecords, "100 -1 5", "1x0 -1 5"), false, {}},
    {"PidOutOfRange", Replace(kTwoRecords, "100 -1 5", "4294967296 -1 5"), false, {}},
    {"Tracked", Replace(kTwoRecords, "archive 10 0 0", "archive 10 1 0"), false, {{"old", 0}}},
    {"Empty", "", false, {{"old", 0}}},
};

INSTANTIATE_TEST_SUITE_P(Files, DamagedFileTest, ::testing::ValuesIn(kDamagedCases),
                         [](const ::testing::TestParamInfo<DamagedCase>& info) {
                             return std::string(info.param.label);
                         });

TEST_F(StateFileTest, MissingFileLoadsNothing) {
    EXPECT_FALSE(keeper_.Load());
    EXPECT_TRUE(Current().empty());
}

// Only a regular file of this user that no one else can write is loaded: anyone
// else could make the keeper run any check command as this user.
TEST_F(StateFileTest, UntrustedFileIsNotLoaded) {
    const std::string target = dir_ / "target";
    const Plant cases[] = {
        {"group-writable", [&] { return chmod(path_.c_str(), 0620); }},
        {"another owner", [&] { return chown(path_.c_str(), 4242, -1); }},
        {"link", [&] { return rename(path_.c_str(), target.c_str()) ||
                              symlink(target.c_str(), path_.c_str()); }},
    };
    for (const Plant& c : cases) {
        keeper_.Add(Record("old", "true", 0, -1, -1, -1), nullptr);
        ASSERT_TRUE(WriteFile(path_, kTwoRecords));
        ASSERT_EQ(chmod(path_.c_str(), 0600), 0);
        ASSERT_EQ(c.second(), 0) << c.first;
        warnings_.clear();
        EXPECT_FALSE(keeper_.Load()) << c.first;
        EXPECT_TRUE(Current().empty()) << c.first;
        EXPECT_EQ(warnings_, std::vector<std::string>{"Load: state file " + path_ +
                                                      " is not a regular file of this user "
                                                      "writable by it alone: not loaded"})
            << c.first;
    }
}

// Whatever has the ".new" name is removed, never written through, and the save
// made once more.
TEST_F(StateFileTest, SaveReplacesWhateverHasTheNewName) {
    const std::string new_path = path_ + ".new";
    const std::string victim = dir_ / "victim";
    const Plant cases[] = {
        {"link", [&] { return symlink(victim.c_str(), new_path.c_str()); }},
        {"hard link", [&] { return link(victim.c_str(), new_path.c_str()); }},
        {"fifo", [&] { return mkfifo(new_path.c_str(), 0600); }},
    };
    keeper_.Add(Record("web", "sleep 100", 2, 812, -1, 123), nullptr);
    const std::string saved = ReadFile(path_);
    for (const Plant& c : cases) {
        ASSERT_TRUE(WriteFile(victim, "keep"));
        ASSERT_EQ(c.second(), 0) << c.first;
        EXPECT_TRUE(keeper_.Save()) << c.first;
        EXPECT_EQ(ReadFile(path_), saved) << c.first;
        EXPECT_EQ(ReadFile(victim), "keep") << c.first;
        EXPECT_FALSE(FileExists(new_path)) << c.first;
    }
    EXPECT_TRUE(warnings_.empty());
}

// A save that cannot complete reports failure, leaves the good file as it was and
// is logged, once a minute at most.
TEST_F(StateFileTest, NewFileBlockedByAFullDirectory) {
    keeper_.Add(Record("web", "sleep 100", 2, 812, -1, 123), nullptr);
    const std::string good = ReadFile(path_);
    ASSERT_EQ(mkdir((path_ + ".new").c_str(), 0700), 0);
    ASSERT_TRUE(WriteFile(path_ + ".new/keep", "x"));
    keeper_.Add(Record("other", "sleep 200", 2, 813, -1, 124), nullptr);
    EXPECT_FALSE(keeper_.Save());
    EXPECT_EQ(ReadFile(path_), good);
    EXPECT_EQ(warnings_, std::vector<std::string>{"Save: save state file " + path_ +
                                                  " failed: Directory not empty"});
}

TEST_F(StateFileTest, FullDiskKeepsTheGoodFile) {
    keeper_.Add(Record("web", "sleep 100", 2, 812, -1, 123), nullptr);
    const std::string good = ReadFile(path_);
    // No other thread may hold a lock of the allocator while this process forks.
    keeper_.Shutdown();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Room for part of the new file only.
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {32, 32};
        setrlimit(RLIMIT_FSIZE, &limit);
        keeper_.Add(Record("other", std::string(200, 'x'), 2, 813, -1, 124), nullptr);
        _exit(keeper_.Save() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "save reported success";
    EXPECT_EQ(ReadFile(path_), good);
}

}  // namespace
