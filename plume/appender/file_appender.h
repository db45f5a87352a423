// The file appender: one log file, reopened when moved or removed, cut by size or date.
#pragma once

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "plume/appender.h"

namespace plumespace {

class FileAppender : public Appender {
public:
    FileAppender();
    ~FileAppender() override;

    int open(void* arg) override;
    int close(void* arg) override;
    int reset(void* arg) override;
    int print(plume_event_t* event) override;
    int binprint(const void* buf, int len) override;
    int syncid(void* arg) override;

    static Appender* getAppender(plume_device_t& dev);
    // Also the asynchronous file appender's: both share one key per file.
    static Appender* tryAppender(plume_device_t& dev);

    struct stat stat;
    // Sized for path, '/' and file, so a joined name is never cut.
    char fullpath[sizeof(plume_device_t::path) + sizeof(plume_device_t::file)];
    time_t last_cut;

protected:
    // The registered appender of the device's file, or one made by make, synced, begun
    // and registered; null when that fails.
    static Appender* getOrMake(plume_device_t& dev, FileAppender* (*make)());
    // Runs once on a new appender after its first sync: 0, or -1 to give it up.
    virtual int begin();
    // Runs write(fd) (0 or -1) on the file in step with its name. Most calls find the
    // file as it was and write side by side under the shared lock; a file to reopen or
    // cut is synced first under the exclusive lock, so a cut can never close the
    // descriptor under a write. A failed sync calls on_sync_failure; any failure closes
    // the file, and the next call opens it again. Returns 0, or the failure.
    template <class Write, class OnSyncFailure>
    int synced(Write write, OnSyncFailure on_sync_failure) {
        {
            std::shared_lock<std::shared_mutex> lock(mutex);
            if (inStep()) {
                if (write(fd) == 0) return 0;
                uint64_t failed = generation_;
                lock.unlock();
                std::lock_guard<std::shared_mutex> relock(mutex);
                if (generation_ == failed) close(nullptr);
                return -1;
            }
        }
        std::string discard;
        int ret;
        {
            std::lock_guard<std::shared_mutex> lock(mutex);
            ret = syncLocked(&discard);
            if (ret != 0)
                on_sync_failure();
            else
                ret = write(fd);
            if (ret != 0) close(nullptr);
        }
        if (!discard.empty()) unlink(discard.c_str());
        return ret;
    }

private:
    // True when the file of the name is the open one; its state goes to *now.
    bool isOpenFile(struct stat* now) const;
    bool dueCut(const struct stat& now) const;
    // True when the open file is still the one of its name and due no cut.
    bool inStep() const;
    // Opens or cuts the file when it is not in step, with the exclusive lock held; *discard
    // receives a cut file to remove after it.
    int syncLocked(std::string* discard);
    // Cuts the file aside (its new name into *cut_name when given) and opens a new one;
    // returns the open's result.
    int cut(std::string* cut_name);
    // Writes all len bytes to fd: 0, or -1 after its line.
    static int writeAll(int fd, const void* buf, int len);

    uint64_t generation_ = 0;  // counts the opens
};

// Renames file to file.<strftime of format> (".1", ".2", ... when taken) and puts the
// new name in out. Always 0: a failed rename leaves the file where it was.
int rename_log_file(const char* file, char* out, int out_size, const char* format, int retry);

}  // namespace plumespace
