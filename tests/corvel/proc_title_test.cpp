// Process title of a real program, read back through /proc/<pid>/cmdline.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

struct ProbeRun {
    std::string report;   // the probe's line
    std::string cmdline;  // its /proc/<pid>/cmdline once the title is set
    int status = -1;
};

std::string Field(const std::string& report, const std::string& key) {
    size_t at = report.find(" " + key + "=");
    if (at == std::string::npos) at = report.rfind(key + "=", 0);
    else ++at;
    if (at == std::string::npos) return "";
    size_t begin = at + key.size() + 1;
    return report.substr(begin, report.find_first_of(" \n", begin) - begin);
}

// Runs argv0 (found through program, from cwd) with mode and text and a small,
// known environment.
ProbeRun RunProbe(const std::string& program, const std::string& argv0, const std::string& mode,
                  const std::string& text, const std::string& cwd = ".") {
    int in[2], out[2];
    ProbeRun run;
    if (pipe(in) != 0 || pipe(out) != 0) return run;
    testutil::PidReaper reaper;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        const char* args[] = {argv0.c_str(), mode.c_str(), text.c_str(), nullptr};
        const char* env[] = {"PROBE_VAR=hello", "PWD=/", "ASAN_OPTIONS=detect_leaks=1", nullptr};
        execve(program.c_str(), const_cast<char**>(args), const_cast<char**>(env));
        _exit(127);
    }
    reaper.Add(pid);
    close(in[0]);
    close(out[1]);
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') run.report += c;
    run.cmdline = testutil::ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
    close(in[1]);
    close(out[0]);
    waitpid(pid, &run.status, 0);
    return run;
}

std::string RealDir(const std::string& path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? buf : "";
}

TEST(CorvelProcTitleTest, TitleWithPrefixOverTheArguments) {
    ProbeRun run = RunProbe(PROBE_PATH, PROBE_PATH, "plain", "some-dir");
    ASSERT_EQ(0, run.status) << run.report;
    std::string title = "proc_title_probe: tendwell [some-dir]";
    ASSERT_GE(run.cmdline.size(), title.size() + 1) << run.report;
    EXPECT_EQ(title, run.cmdline.substr(0, title.size()));
    EXPECT_EQ(std::string(run.cmdline.size() - title.size(), '\0'), run.cmdline.substr(title.size()));
    EXPECT_EQ("0", Field(run.report, "rc"));
    EXPECT_EQ("1", Field(run.report, "refused"));  // a second init
    EXPECT_EQ("hello", Field(run.report, "env"));  // the moved environment still works
    std::string dir = RealDir(std::filesystem::path(PROBE_PATH).parent_path());
    EXPECT_EQ(dir, Field(run.report, "dir"));
    EXPECT_EQ("proc_title_probe", Field(run.report, "name"));
    EXPECT_EQ(dir + "/proc_title_probe", Field(run.report, "full"));
    EXPECT_EQ(PROBE_PATH, Field(run.report, "argv0"));
    EXPECT_EQ(dir + "/x.conf", Field(run.report, "rel"));
}

TEST(CorvelProcTitleTest, DashFormatAndNullFormatWriteNoPrefix) {
    ProbeRun dash = RunProbe(PROBE_PATH, PROBE_PATH, "dash", "bare");
    EXPECT_EQ(std::string("bare\0", 5), dash.cmdline.substr(0, 5));
    ProbeRun none = RunProbe(PROBE_PATH, PROBE_PATH, "null", "x");
    std::string argv0 = std::string(PROBE_PATH) + '\0';
    EXPECT_EQ(argv0, none.cmdline.substr(0, argv0.size()));
}

TEST(CorvelProcTitleTest, LongTitleIsCutAtTheEndOfTheArea) {
    std::string text;
    for (int i = 0; i < 150; ++i) text += "0123456789";
    ProbeRun run = RunProbe(PROBE_PATH, PROBE_PATH, "twice", text);
    size_t area = std::stoul(Field(run.report, "area"));
    ASSERT_LT(area, 2 * text.size());
    // The title runs over the arguments into the environment strings, up to the
    // zero that ended the last of them.
    EXPECT_EQ((text + text).substr(0, area) + '\0', run.cmdline);
    EXPECT_EQ("hello", Field(run.report, "env"));
}

TEST(CorvelProcTitleTest, LongProgramNameAndSymlinkedDirectory) {
    testutil::TempDir tmp;
    std::string real = RealDir(tmp.path()) + "/real";
    std::string name = "abcdefghijklmnopqrstuvwxy";  // 25 characters
    std::filesystem::create_directory(real);
    std::filesystem::copy_file(PROBE_PATH, real + "/" + name);
    std::filesystem::create_directory_symlink(real, tmp / "link");
    ProbeRun run = RunProbe(tmp / ("link/" + name), "link/" + name, "plain", "d", tmp.path());
    ASSERT_EQ(0, run.status) << run.report;
    std::string title = "abcdefghijklmnopqr: tendwell [d]";
    EXPECT_EQ(title, run.cmdline.substr(0, title.size()));
    EXPECT_EQ(real, Field(run.report, "dir"));
    EXPECT_EQ(name, Field(run.report, "name"));
}

}  // namespace
