// A zulib process log opened in a temporary directory for the length of a test, so that
// the lines zulib writes can be read back.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "shm_test_keys.h"
#include "test_util.h"
#include "zulib/zu_log.h"

namespace zutest {

class ProcessLog {
public:
    explicit ProcessLog(const std::string& dir) : dir_(dir) {
        zu_logstat_t st = {255, 0, 0};
        opened_ = zu_openlog(dir.c_str(), "zutest", &st, 0, nullptr) == 0;
    }
    ~ProcessLog() {
        if (opened_) zu_closelog(0);
    }
    ProcessLog(const ProcessLog&) = delete;
    ProcessLog& operator=(const ProcessLog&) = delete;

    bool opened() const { return opened_; }
    // Lines of the ".wf" file (FATAL and WARNING) with the given prefix, message only.
    std::vector<std::string> Messages(const std::string& prefix) const {
        std::vector<std::string> out;
        std::istringstream in(testutil::ReadFile(dir_ + "/zutestlog.wf"));
        for (std::string line; std::getline(in, line);) {
            if (line.compare(0, prefix.size(), prefix) != 0) continue;
            size_t star = line.find(" * ");
            size_t space = star == std::string::npos ? star : line.find(' ', star + 3);
            if (space != std::string::npos) out.push_back(line.substr(space + 1));
        }
        return out;
    }

private:
    testkeys::OwnShmKeys keys_;
    std::string dir_;
    bool opened_ = false;
};

}  // namespace zutest
