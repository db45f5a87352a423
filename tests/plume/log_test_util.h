// Helpers of the logging tests: standard error captured into a file, directory
// listings, a file device, and a thread that runs the steps it is given.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "plume/plume.h"
#include "test_util.h"

namespace logtest {

// Points standard error at a file until text() is read or the object dies.
class StderrCapture {
public:
    explicit StderrCapture(const std::string& path) : path_(path) {
        fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    ~StderrCapture() { restore(); }
    std::string text() {
        restore();
        return testutil::ReadFile(path_);
    }

private:
    void restore() {
        if (saved_ < 0) return;
        fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        saved_ = -1;
    }
    std::string path_;
    int saved_ = -1;
};

inline std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

// A reset FILE device for dir/file that writes the standard levels.
inline std::unique_ptr<plume_device_t> FileDevice(const std::string& dir, const std::string& file) {
    std::unique_ptr<plume_device_t> dev(new plume_device_t);
    plume_resetdevice(dev.get());
    snprintf(dev->path, sizeof(dev->path), "%s", dir.c_str());
    snprintf(dev->file, sizeof(dev->file), "%s", file.c_str());
    snprintf(dev->type, sizeof(dev->type), "FILE");
    dev->log_mask |= PLUME_DEFAULT_MASK;
    return dev;
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A thread that runs each step given to Run, one at a time, and waits for it.
class StepThread {
public:
    StepThread() : thread_([this] { loop(); }) {}
    ~StepThread() {
        Run(nullptr);
        thread_.join();
    }
    void Run(std::function<void()> step) {
        std::unique_lock<std::mutex> lock(mutex_);
        step_ = step ? std::move(step) : std::function<void()>([this] { done_ = true; });
        pending_ = true;
        cond_.notify_all();
        cond_.wait(lock, [this] { return !pending_; });
    }

private:
    void loop() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!done_) {
            cond_.wait(lock, [this] { return pending_; });
            step_();
            pending_ = false;
            cond_.notify_all();
        }
    }
    std::mutex mutex_;
    std::condition_variable cond_;
    std::function<void()> step_;
    bool pending_ = false;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace logtest
