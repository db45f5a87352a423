// Runs a step in a child process that sees files of its own in place of system files
// (/etc/hosts, /etc/resolv.conf, ...): a mount namespace of its own, with each file
// bound over from a temporary directory. Nothing of the machine's changes.
#pragma once

#include <sched.h>
#include <sys/mount.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "child_step.h"
#include "test_util.h"

namespace testutil {

// Runs step in such a child, which shows each (path, text) of files, and puts what
// step returns into *report. False when no mount namespace can be made here. A child
// still running after timeout_ms is killed, its report then cut short.
inline bool RunWithOwnFiles(const std::vector<std::pair<std::string, std::string>>& files,
                            const std::function<std::string()>& step, std::string* report, int timeout_ms) {
    const int kNoNamespace = 77;
    TempDir dir;
    for (size_t i = 0; i < files.size(); ++i)
        if (!WriteFile(dir / std::to_string(i), files[i].second)) return false;
    auto in_namespace = [&]() -> std::string {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            _exit(kNoNamespace);
        for (size_t i = 0; i < files.size(); ++i)
            if (mount((dir / std::to_string(i)).c_str(), files[i].first.c_str(), nullptr, MS_BIND, nullptr) != 0)
                _exit(kNoNamespace);
        return step();
    };
    int status = RunInChild(in_namespace, report, timeout_ms);
    return !(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == kNoNamespace);
}

}  // namespace testutil
