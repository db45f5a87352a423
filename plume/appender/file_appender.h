// The file appender: one log file, reopened when moved or removed, cut by size or date.
#pragma once

#include <sys/stat.h>
#include <time.h>

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
    static Appender* tryAppender(plume_device_t& dev);

    struct stat stat;
    // Sized for path, '/' and file, so a joined name is never cut.
    char fullpath[sizeof(plume_device_t::path) + sizeof(plume_device_t::file)];
    time_t last_cut;

private:
    // syncid with the mutex held; *discard receives a cut file to remove after it.
    int syncLocked(std::string* discard);
    // Runs then with syncLocked's result, both under the mutex, and removes the file the
    // sync cut away after it; returns then's result.
    template <class Then>
    int synced(Then then);
    // Cuts the file aside (its new name into *cut_name when given) and opens a new one;
    // returns the open's result.
    int cut(std::string* cut_name);
    // Writes all len bytes with the mutex held; 0, or -1 after closing the file.
    int writeLocked(const void* buf, int len);
};

// Renames file to file.<strftime of format> (".1", ".2", ... when taken) and puts the
// new name in out. Always 0: a failed rename leaves the file where it was.
int rename_log_file(const char* file, char* out, int out_size, const char* format, int retry);

}  // namespace plumespace
