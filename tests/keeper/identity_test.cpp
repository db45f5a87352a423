// Recognising a saved process again without the wall clock: a later keeper adopts
// a record only when the identity file beside the state file names the process with
// its start ticks of this boot, whatever the clock did to the stamp, and falls back
// on the stamp only for a state file that comes without a usable identity file.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "keeper/process_keeper.h"
#include "test_util.h"

namespace {

using tendwell::ProcessKeeper;
using testutil::PidAlive;
using testutil::ReadFile;

constexpr int64_t kDayUs = 24LL * 3600 * 1000000;

// Field 22 of /proc/PID/stat: the start in clock ticks since boot.
uint64_t StartTicks(pid_t pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 22 && rest >> field; ++i) {
    }
    return std::stoull(field);
}

std::string BootId() {
    std::string id = ReadFile("/proc/sys/kernel/random/boot_id");
    return id.substr(0, id.find('\n'));
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    size_t at = text.find(from);
    return at == std::string::npos ? "pattern missing" : text.replace(at, from.size(), to);
}

// A sleep in a group of its own, as a kept process runs; killed with the test.
pid_t Sleeper(testutil::PidReaper& reaper) {
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        execl("/bin/sleep", "sleep", "1000", static_cast<char*>(nullptr));
        _exit(127);
    }
    setpgid(pid, pid);
    reaper.Add(pid);
    return pid;
}

struct Saved {
    pid_t pid;
    int64_t stamp_us;
    uint64_t ticks;
};

struct IdentityCase {
    const char* label;
    // What the earlier keeper saved, given the process it kept and an older one.
    std::function<Saved(pid_t kept, pid_t older)> record;
    // Changes the identity file at the path given; null leaves it alone.
    std::function<void(const std::string& path)> change;
    bool adopted;
    // The warning of the load, if any.
    const char* warning;
};

void PrintTo(const IdentityCase& c, std::ostream* os) { *os << c.label; }

class IdentityTest : public ::testing::TestWithParam<IdentityCase> {};

// A later keeper adopts the saved process exactly when its identity holds; what it
// does not adopt it never signals.
TEST_P(IdentityTest, AdoptsOnlyTheSavedProcess) {
    testutil::BecomeSubreaper();
    testutil::TempDir dir;
    testutil::PidReaper reaper;
    const std::string path = dir / "keeper.save";
    const std::string identity = path + ".ident";
    const pid_t older = Sleeper(reaper);
    const pid_t kept = Sleeper(reaper);

    const IdentityCase& c = GetParam();
    const Saved saved = c.record(kept, older);
    {
        ProcessKeeper earlier;
        ASSERT_TRUE(earlier.Init(path));
        ProcessKeeper::Process record("s", "sleep 1000");
        record.status = ProcessKeeper::PROCESS_RUNNING;
        record.running = true;
        record.pid = saved.pid;
        record.start_time_us = saved.stamp_us;
        record.start_ticks = saved.ticks;
        earlier.Add(record, nullptr);
    }
    ASSERT_TRUE(testutil::FileExists(identity));
    if (c.change) c.change(identity);

    std::vector<std::string> warnings;
    ProcessKeeper later;
    later.SetWarningSink([&](const char* operation, const std::string& text) {
        warnings.push_back(std::string(operation) + ": " + text);
    });
    ASSERT_TRUE(later.Init(path));
    ProcessKeeper::Process found;
    ASSERT_TRUE(later.Get("s", &found));
    if (c.adopted) {
        EXPECT_EQ(found.status, ProcessKeeper::PROCESS_RUNNING);
        EXPECT_EQ(found.pid, saved.pid);
        // Known by its start from here on.
        EXPECT_EQ(found.start_ticks, StartTicks(saved.pid));
    } else {
        EXPECT_EQ(found.status, ProcessKeeper::PROCESS_STOPPED);
        EXPECT_EQ(found.pid, -1);
        std::string msg;
        EXPECT_TRUE(later.Stop("s", 200, &msg));
        EXPECT_FALSE(later.Signal("s", SIGTERM, &msg));
    }
    std::vector<std::string> expected;
    if (c.warning != nullptr) {
        expected.push_back("Load: identity file " + identity + " " + c.warning +
                           ": processes are recognised by their start time stamps");
    }
    EXPECT_EQ(warnings, expected);
    later.Shutdown();
    EXPECT_TRUE(PidAlive(kept));
    EXPECT_TRUE(PidAlive(older));
}

// Rewrites the file with what edit makes of its text.
std::function<void(const std::string&)> Edit(std::function<std::string(const std::string&)> edit) {
    return [edit](const std::string& path) { testutil::WriteFile(path, edit(ReadFile(path))); };
}

// The record as saved at the process's start, its stamp moved by the clock.
Saved Moved(pid_t pid, int64_t by_us) {
    return {pid, ProcessKeeper::ProcStartTime(pid) + by_us, StartTicks(pid)};
}

const IdentityCase kIdentityCases[] = {
    // The clock was a day behind when the record was saved, and has been set right.
    {"StampADayEarly", [](pid_t kept, pid_t) { return Moved(kept, -kDayUs); }, nullptr, true,
     nullptr},
    // A day ahead, and set right.
    {"StampADayLate", [](pid_t kept, pid_t) { return Moved(kept, kDayUs); }, nullptr, true,
     nullptr},
    // Saved while the clock ran a day ahead; the pid now belongs to an older process.
    {"OlderStrangerAtThePid",
     [](pid_t, pid_t older) {
         return Saved{older, ProcessKeeper::ProcStartTime(older) + kDayUs, StartTicks(older) + 100};
     },
     nullptr, false, nullptr},
    // A reboot ended every process the state file names.
    {"AnotherBoot", [](pid_t kept, pid_t) { return Moved(kept, 0); },
     Edit([](const std::string& text) {
         return Replace(text, BootId(), "00000000-0000-0000-0000-000000000000");
     }),
     false, nullptr},
    {"NoEntry", [](pid_t kept, pid_t) { return Moved(kept, 0); },
     Edit([](const std::string& text) {
         return text.substr(0, text.find('\n', text.find("boot ")) + 1);
     }),
     false, nullptr},
    // A state file of an older version, which kept no identities.
    {"NoIdentityFile", [](pid_t kept, pid_t) { return Moved(kept, 0); },
     [](const std::string& path) { unlink(path.c_str()); }, true, nullptr},
    {"DamagedIdentityFile", [](pid_t kept, pid_t) { return Moved(kept, 0); },
     Edit([](const std::string& text) { return Replace(text, "boot", "bolt"); }), true,
     "is damaged"},
    {"UntrustedIdentityFile", [](pid_t kept, pid_t) { return Moved(kept, 0); },
     [](const std::string& path) { chmod(path.c_str(), 0620); }, true,
     "is not a regular file of this user writable by it alone"},
};

INSTANTIATE_TEST_SUITE_P(Records, IdentityTest, ::testing::ValuesIn(kIdentityCases),
                         [](const ::testing::TestParamInfo<IdentityCase>& info) {
                             return std::string(info.param.label);
                         });

}  // namespace
