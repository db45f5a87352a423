// The error table and the checked calls' lines in the process log.
#include "zulib/zu_syscall.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <functional>
#include <regex>
#include <thread>

#include "zu_test_log.h"
#include "zulib/zu_error.h"

namespace {

TEST(ZuError, TableAndPerThreadState) {
    const char* texts[] = {"CALL SUCCESS",
                           "",
                           "ALLOC MEMORY FAIL",
                           "MEMORY SEGMENT",
                           "READ ERR",
                           "WRITE ERR",
                           "INVALID FILE[NET] HANDLE",
                           "NET CONNECT FAIL",
                           "INVALID INPUT PARAM",
                           "OPEN FILE ERR"};
    for (int i = 0; i < 10; ++i) EXPECT_STREQ(texts[i], zu_geterrstr(i)) << i;
    EXPECT_STREQ("INVALID ERRNO", zu_geterrstr(10));
    EXPECT_STREQ("INVALID ERRNO", zu_geterrstr(-1));

    EXPECT_EQ(0, zu_seterrno(ZU_ERR_OPEN));
    EXPECT_EQ(0, zu_seterrtext("can't add any %s", "more"));
    std::thread([] {
        EXPECT_EQ(0, zu_geterrno());
        EXPECT_STREQ("", zu_geterrstr(ZU_ERR_DETAIL));
        zu_seterrno(ZU_ERR_READ);
        zu_seterrtext("%s", std::string(2000, 'x').c_str());
        EXPECT_EQ(1023u, strlen(zu_geterrstr(ZU_ERR_DETAIL)));
    }).join();
    EXPECT_EQ(ZU_ERR_OPEN, zu_geterrno());
    EXPECT_STREQ("can't add any more", zu_geterrstr(ZU_ERR_DETAIL));
}

TEST(ZuSyscall, FailuresWriteTheirLineAndKeepErrno) {
    testutil::TempDir dir;
    zutest::ProcessLog log(dir.path());
    ASSERT_TRUE(log.opened());
    ASSERT_TRUE(testutil::WriteFile(dir / "empty", ""));
    FILE* empty = fopen((dir / "empty").c_str(), "r");
    ASSERT_NE(nullptr, empty);
    pid_t child = fork();
    if (child == 0) {
        pause();
        _exit(0);
    }
    testutil::PidReaper reaper;
    reaper.Add(child);
    char buf[8];
    const std::string missing = dir / "missing";
    struct Case {
        std::function<long()> call;
        long want;
        int want_errno;    // 0: not checked
        std::string line;  // regular expression of the line; "" for none
    } cases[] = {
        {[&] { return zu_open(missing.c_str(), O_RDONLY, 0); }, -1, ENOENT,
         "open\\(" + missing + ",0,0\\) call failed.error\\[2\\] info is 'No such file or directory'."},
        {[&] { return zu_read(-1, buf, 4); }, -1, EBADF,
         "read\\(-1,4\\) call failed.error\\[9\\] info is 'Bad file descriptor'."},
        {[] { return zu_lseek(-1, 5, SEEK_SET); }, -1, EBADF,
         "lseek\\(-1,5,0\\) call failed.error\\(9\\) info is Bad file descriptor."},
        {[] { return zu_dup2(-1, 5); }, -1, EBADF,
         "dup2\\(-1\\) call failed.error\\[9\\] info is 'Bad file descriptor'."},
        {[&] { return zu_fopen(missing.c_str(), "r") ? 0L : -1L; }, -1, ENOENT,
         "fopen\\(\"" + missing + "\", \"r\"\\) failed.error\\[2\\] info is 'No such file or directory'."},
        {[&] { return zu_fgets(buf, sizeof(buf), empty) ? 0L : -1L; }, -1, 0, ""},
        {[&] { return zu_fputs(nullptr, empty); }, -1, 0, "Parameter 'ptr' was NULL."},
        {[] { return zu_rename(nullptr, "x"); }, -1, 0, ""},
        {[] { return zu_popen("", "r") ? 0L : -1L; }, -1, 0, ""},
        {[] { return zu_closedir(nullptr); }, -1, 0, "closedir\\(\\) call failed.error\\[\\d+\\] info is '.*'."},
        {[] {
             void* p = zu_calloc(0, 8);
             free(p);
             return 0L;
         },
         0, 0, "calloc\\(0,8\\) call failed.Parameter was error."},
        {[&] { return zu_fpathconf(fileno(empty), _PC_SYMLINK_MAX); }, -100, 0, ""},
        {[&] { return zu_waitpid(child, nullptr, WNOHANG); }, 0, 0,
         "waitpid\\(" + std::to_string(child) + ",1\\) call failed.error\\[\\d+\\] info is '.*'."},
        {[] { return zu_kill(999999999, 0); }, -1, ESRCH,
         "kill\\(999999999,0\\) call failed.error\\[3\\] info is 'No such process'."},
        {[&] { return zu_ftok(missing.c_str(), 'A'); }, -1, ENOENT,
         "ftok\\(" + missing + ",A\\) call failed.error\\[2\\] info is 'No such file or directory'."},
        {[] { return zu_shmget(-5, 16, 0); }, -1, 0, ""},
        {[] { return zu_shmat(-1, nullptr, 0) == reinterpret_cast<void*>(-1) ? -1L : 0L; }, -1, EINVAL,
         "shmat\\(-1,0\\) call failed.error\\[22\\] info is 'Invalid argument'."},
    };
    size_t seen = log.Messages("WARNING: ").size();
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        const Case& c = cases[i];
        errno = 0;
        long got = c.call();
        int got_errno = errno;
        EXPECT_EQ(c.want, got) << i;
        if (c.want_errno) {
            EXPECT_EQ(c.want_errno, got_errno) << i;
        }
        std::vector<std::string> lines = log.Messages("WARNING: ");
        ASSERT_EQ(seen + (c.line.empty() ? 0 : 1), lines.size()) << i;
        if (!c.line.empty()) {
            EXPECT_TRUE(std::regex_match(lines.back(), std::regex(c.line))) << i << ": " << lines.back();
        }
        seen = lines.size();
    }
    fclose(empty);
}

}  // namespace
