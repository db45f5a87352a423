#include "corvel/spawn.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <unistd.h>

extern char** environ;

namespace corvel {

namespace {

// The child's set-up as attributes and file actions; 0, or the error.
int describe(const ShellSetup& setup, posix_spawnattr_t* attr,
             posix_spawn_file_actions_t* actions) {
    // Every signal, also the two that the C library keeps for its threads and
    // leaves out of sigfillset: its spawn would leave those ignored in the child.
    sigset_t all;
    memset(&all, 0xff, sizeof(all));
    sigset_t none;
    sigemptyset(&none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (setup.new_group) flags |= POSIX_SPAWN_SETPGROUP;
    int rc = posix_spawnattr_setflags(attr, flags);
    if (rc == 0) rc = posix_spawnattr_setsigdefault(attr, &all);
    if (rc == 0) rc = posix_spawnattr_setsigmask(attr, &none);
    // Group 0: the child's own pid.
    if (rc == 0 && setup.new_group) rc = posix_spawnattr_setpgroup(attr, 0);
    if (setup.null_stdio) {
        if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(actions, 0);
        // With everything closed each open takes the lowest number, its own.
        for (int fd = 0; rc == 0 && fd <= 2; ++fd) {
            rc = posix_spawn_file_actions_addopen(actions, fd, "/dev/null",
                                                  fd == 0 ? O_RDONLY : O_WRONLY, 0);
        }
    } else if (setup.stdio_fd >= 0) {
        // Onto itself, the descriptor only loses its close-on-exec flag.
        for (int fd = 0; rc == 0 && fd <= 2; ++fd) {
            rc = posix_spawn_file_actions_adddup2(actions, setup.stdio_fd, fd);
        }
    }
    return rc;
}

// posix_spawn of the shell with that set-up; 0, or the error.
int spawn(const char* command, const ShellSetup& setup, pid_t* pid) {
    char* const login_args[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-l"),
                                const_cast<char*>("-c"), const_cast<char*>(command), nullptr};
    char* const args[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                          const_cast<char*>(command), nullptr};
    posix_spawnattr_t attr;
    int rc = posix_spawnattr_init(&attr);
    if (rc != 0) return rc;
    posix_spawn_file_actions_t actions;
    rc = posix_spawn_file_actions_init(&actions);
    if (rc == 0) {
        rc = describe(setup, &attr, &actions);
        if (rc == 0) {
            rc = posix_spawn(pid, "/bin/sh", &actions, &attr, setup.login ? login_args : args,
                             environ);
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    posix_spawnattr_destroy(&attr);
    return rc;
}

}  // namespace

pid_t spawn_shell(const char* command, const ShellSetup& setup) {
    pid_t pid = -1;
    int rc = spawn(command, setup, &pid);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    // The child made its group before the exec, and posix_spawn returns after the
    // exec; this makes the group also where a spawn returns earlier, so that it
    // exists before anyone signals it. After the exec it fails harmlessly.
    if (setup.new_group) setpgid(pid, pid);
    return pid;
}

bool spawn_made_no_process(int error) { return error == EAGAIN || error == ENOMEM; }

}  // namespace corvel
