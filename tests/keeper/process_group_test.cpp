// What is left of a kept process's group once its leader has ended: which groups
// still have live members (ended ones do not count, and a group with no process
// left is answered without a look through /proc), and how the rest is ended with
// the leader reaped.
#include <errno.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "keeper/proc_stat.h"
#include "process_group.h"
#include "test_util.h"

namespace {

using tendwell::EndGroupRest;
using tendwell::GroupHasLiveMember;
using testutil::PidAlive;
using testutil::WaitFor;

// A child of this process running command in group pgid, or in a group of its own
// for 0; killed with the test.
pid_t Member(testutil::PidReaper& reaper, pid_t pgid, const char* command = "exec sleep 1000") {
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, pgid);
        execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
        _exit(127);
    }
    // From this side too, so that the group is as asked when this returns.
    setpgid(pid, pgid);
    reaper.Add(pid);
    return pid;
}

// Ends a child of this process and waits until it has ended, leaving it unreaped.
void EndUnreaped(pid_t pid) {
    kill(pid, SIGKILL);
    siginfo_t info;
    waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
}

bool Reaped(pid_t child) { return waitpid(child, nullptr, WNOHANG) < 0 && errno == ECHILD; }

TEST(GroupTest, LiveMembersCountAndEndedOnesDoNot) {
    testutil::PidReaper reaper;
    const pid_t leader = Member(reaper, 0);
    const pid_t member = Member(reaper, leader);
    EXPECT_TRUE(GroupHasLiveMember(leader));
    EndUnreaped(leader);
    EXPECT_TRUE(GroupHasLiveMember(leader)) << "a live member beside an ended leader";
    EndUnreaped(member);
    EXPECT_FALSE(GroupHasLiveMember(leader)) << "only ended members";
    waitpid(member, nullptr, 0);
    waitpid(leader, nullptr, 0);
    EXPECT_FALSE(GroupHasLiveMember(leader)) << "no process left";
    EXPECT_FALSE(GroupHasLiveMember(1));
    EXPECT_FALSE(GroupHasLiveMember(0));
}

TEST(GroupTest, EndedLeaderAloneIsReaped) {
    testutil::PidReaper reaper;
    const pid_t leader = Member(reaper, 0);
    EndUnreaped(leader);
    EndGroupRest(leader);
    EXPECT_TRUE(Reaped(leader));
}

// A member that ignores SIGTERM is killed at the end of the grace; one that does not
// ends at once. Either way the leader is reaped.
TEST(GroupTest, WhatTheLeaderLeftEndsAndTheLeaderIsReaped) {
    for (const char* command : {"exec sleep 1000", "trap '' TERM; exec sleep 1000"}) {
        SCOPED_TRACE(command);
        testutil::PidReaper reaper;
        const pid_t leader = Member(reaper, 0);
        const pid_t member = Member(reaper, leader, command);
        // Only once the shell has set its trap does the member ignore SIGTERM.
        ASSERT_TRUE(WaitFor([&] { return testutil::StatusLine(member, "Name") == "sleep"; }, 3000));
        EndUnreaped(leader);
        EndGroupRest(leader);
        EXPECT_TRUE(Reaped(leader));
        // SIGKILL is the last thing sent: it may take a moment.
        EXPECT_TRUE(WaitFor([&] { return !PidAlive(member); }, 2000));
        waitpid(member, nullptr, 0);
    }
}

// A stopped member would hold its SIGTERM pending until the SIGKILL a second later:
// continued, it handles it at once.
TEST(GroupTest, AStoppedMemberHandlesItsTerm) {
    testutil::PidReaper reaper;
    const pid_t leader = Member(reaper, 0);
    const pid_t member = Member(reaper, leader, "trap 'exit 7' TERM; while :; do sleep 0.05; done");
    ASSERT_TRUE(WaitFor(
        [&] {
            return (std::stoull("0" + testutil::StatusLine(member, "SigCgt"), nullptr, 16) >>
                    (SIGTERM - 1)) & 1;
        },
        3000));
    ASSERT_EQ(kill(member, SIGSTOP), 0);
    ASSERT_TRUE(WaitFor([&] { return testutil::StatusLine(member, "State")[0] == 'T'; }, 3000));
    EndUnreaped(leader);
    EndGroupRest(leader);
    int status = 0;
    ASSERT_TRUE(WaitFor([&] { return waitpid(member, &status, WNOHANG) == member; }, 3000));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7) << status;
}

// Nothing is signalled for an id below 2 (kill(-1) reaches every process), and
// nothing is reaped.
TEST(GroupTest, NoLeaderBelowTwo) {
    testutil::PidReaper reaper;
    const pid_t child = Member(reaper, 0);
    EndUnreaped(child);
    EndGroupRest(-1);
    EndGroupRest(0);
    EndGroupRest(1);
    EXPECT_FALSE(Reaped(child));
    waitpid(child, nullptr, 0);
}

}  // namespace
