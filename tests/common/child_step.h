// Runs a step in a child process and brings back the text it returns: for what must
// not touch the test's own process (mounts, memory peaks, a fresh resolver).
#pragma once

#include <poll.h>

#include <chrono>
#include <functional>
#include <string>

#include "test_util.h"

namespace testutil {

// Runs step in a forked child and puts what it returns into *report. The child's wait
// status, or -1 when it was still running after timeout_ms: it is then killed, and the
// report cut short.
inline int RunInChild(const std::function<std::string()>& step, std::string* report, int timeout_ms) {
    int out[2];
    if (pipe(out) != 0) return -1;
    pid_t child = fork();
    if (child == 0) {
        close(out[0]);
        std::string text = step();
        for (size_t done = 0; done < text.size();) {
            ssize_t n = write(out[1], text.data() + done, text.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(out[1]);
    PidReaper reaper;
    reaper.Add(child);
    report->clear();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        long left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                        .count();
        struct pollfd p = {out[0], POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char buf[4096];
        ssize_t n = read(out[0], buf, sizeof(buf));
        if (n <= 0) break;
        report->append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    return WaitFor([&] { return waitpid(child, &status, WNOHANG) == child; }, 1000) ? status : -1;
}

}  // namespace testutil
