// Checked process and signal calls.
#include <sys/wait.h>

#include "zu_syserr.h"
#include "zulib/zu_syscall.h"

int zu_kill(pid_t pid, int sig) {
    int ret = kill(pid, sig);
    if (ret == -1)
        ZU_SYSWARN("kill(%d,%d) call failed.error[%d] info is '%s'.", pid, sig);
    else if (pid == -1) {
        zu_writelog(ZU_LOG_WARNING, "kill process(pid == -1 ) executed successfully.");
    }
    return ret;
}

int zu_raise(int sig) {
    int ret = raise(sig);
    if (ret != 0) ZU_SYSWARN("raise(%d) call failed.error[%d] info is '%s'.", sig);
    return ret;
}

int zu_sigemptyset(sigset_t* set) {
    int ret = sigemptyset(set);
    if (ret == -1) ZU_SYSWARN("sigemptyset() call failed.error[%d] info is '%s'.");
    return ret;
}

int zu_sigfillset(sigset_t* set) {
    int ret = sigfillset(set);
    if (ret == -1) ZU_SYSWARN("sigfillset() call failed.error[%d] info is '%s'.");
    return ret;
}

int zu_sigaddset(sigset_t* set, int sig) {
    int ret = sigaddset(set, sig);
    if (ret == -1) ZU_SYSWARN("sigaddset(%d) call failed.error[%d] info is '%s'.", sig);
    return ret;
}

int zu_sigdelset(sigset_t* set, int sig) {
    int ret = sigdelset(set, sig);
    if (ret == -1) ZU_SYSWARN("sigdelset(%d) call failed.error[%d] info is '%s'.", sig);
    return ret;
}

int zu_sigismember(const sigset_t* set, int sig) {
    int ret = sigismember(set, sig);
    if (ret == -1) ZU_SYSWARN("sigismember(%d) call failed.error[%d] info is '%s'.", sig);
    return ret;
}

int zu_sigaction(int sig, const struct sigaction* act, struct sigaction* old) {
    int ret = sigaction(sig, act, old);
    if (ret == -1) ZU_SYSWARN("sigaction(%d) call failed.error[%d] info is '%s'.", sig);
    return ret;
}

int zu_sigprocmask(int how, const sigset_t* set, sigset_t* old) {
    int ret = sigprocmask(how, set, old);
    if (ret == -1) ZU_SYSWARN("sigprocmask(%d) call failed.error[%d] info is '%s'.", how);
    return ret;
}

int zu_sigpending(sigset_t* set) {
    int ret = sigpending(set);
    if (ret == -1) ZU_SYSWARN("sigpending() call failed.error[%d] info is '%s'.");
    return ret;
}

int zu_sigsuspend(const sigset_t* mask) {
    int ret = sigsuspend(mask);
    if (ret == -1) ZU_SYSWARN("sigsuspend() call failed.error[%d] info is '%s'.");
    return ret;
}

pid_t zu_fork() {
    pid_t pid = fork();
    if (pid == -1) ZU_SYSWARN("fork() call failed.error[%d] info is '%s'.");
    return pid;
}

int zu_execve(const char* path, char* const argv[], char* const envp[]) {
    int ret = execve(path, argv, envp);
    ZU_SYSWARN("execve(%s) call failed.error[%d] info is '%s'.", path);
    return ret;
}

pid_t zu_wait(int* status) {
    pid_t pid = wait(status);
    if (pid <= 0) ZU_SYSWARN("wait() call failed.error[%d] info is '%s'.");
    return pid;
}

pid_t zu_waitpid(pid_t pid, int* status, int options) {
    pid_t ret = waitpid(pid, status, options);
    if (ret <= 0) ZU_SYSWARN("waitpid(%d,%d) call failed.error[%d] info is '%s'.", pid, options);
    return ret;
}

int zu_setpgid(pid_t pid, pid_t pgid) {
    int ret = setpgid(pid, pgid);
    if (ret == -1) ZU_SYSWARN("setpgid(%d,%d) call failed.error[%d] info is '%s'.", pid, pgid);
    return ret;
}

int zu_setpgrp() {
    int ret = setpgrp();
    if (ret == -1) ZU_SYSWARN("setpgrp() call failed.error[%d] info is '%s'.");
    return ret;
}

unsigned zu_alarm(unsigned seconds) { return alarm(seconds); }

int zu_pause() { return pause(); }

pid_t zu_getpid() { return getpid(); }

pid_t zu_getpgrp() { return getpgrp(); }
