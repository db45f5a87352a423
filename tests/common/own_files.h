// Runs a step in a child process that sees files of its own in place of system files
// (/etc/hosts, /etc/resolv.conf, ...): a mount namespace of its own, with each file
// bound over from a temporary directory. Nothing of the machine's changes.
#pragma once

#include <poll.h>
#include <sched.h>
#include <sys/mount.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "test_util.h"

namespace testutil {

// Runs step in such a child, which shows each (path, text) of files, and puts what
// step returns into *report. False when no mount namespace can be made here. A child
// still running after timeout_ms is killed, its report then cut short.
inline bool RunWithOwnFiles(const std::vector<std::pair<std::string, std::string>>& files,
                            const std::function<std::string()>& step, std::string* report, int timeout_ms) {
    TempDir dir;
    for (size_t i = 0; i < files.size(); ++i)
        if (!WriteFile(dir / std::to_string(i), files[i].second)) return false;
    int out[2];
    if (pipe(out) != 0) return false;
    pid_t child = fork();
    if (child == 0) {
        close(out[0]);
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(77);
        for (size_t i = 0; i < files.size(); ++i)
            if (mount((dir / std::to_string(i)).c_str(), files[i].first.c_str(), nullptr, MS_BIND, nullptr) != 0)
                _exit(77);
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
    if (WaitFor([&] { return waitpid(child, &status, WNOHANG) == child; }, 1000)) child = -1;
    return !(child == -1 && WIFEXITED(status) && WEXITSTATUS(status) == 77);
}

}  // namespace testutil
