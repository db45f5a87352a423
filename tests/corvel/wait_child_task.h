// A task that forks a long sleeper and blocks in waitpid on it, as a keeper runner
// watching its process does.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

#include "corvel/runnable.h"

class WaitChildTask : public corvel::Runnable {
public:
    int run() override {
        pid_t pid = fork();
        if (pid == 0) {
            execl("/bin/sleep", "sleep", "100", static_cast<char*>(nullptr));
            _exit(127);
        }
        child = pid;
        waitpid(pid, nullptr, 0);
        finished = true;
        return 0;
    }
    std::atomic<pid_t> child{0};
    std::atomic<bool> finished{false};
};
