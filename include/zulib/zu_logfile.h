// The process log's file table: log files shared by path and reference-counted, each
// written a whole line at a time under its own lock, with size rotation.
#pragma once

#include <stdio.h>

#include <mutex>

constexpr int ZU_LOGFILE_MAX = 2048;
constexpr int ZU_LOGFILE_PATH = 1024;
constexpr int ZU_LOGFILE_ROTATE = 1;  // `flags`: enforce the size limit by rotation

// Every member has a constant initialiser, so a static table of entries is
// zero-filled by the loader and costs no page until an entry is used.
struct zu_logfile_t {
    FILE* fp = nullptr;
    int flags = 0;
    int refcount = 0;  // 0: free entry
    int max_size = 0;  // bytes; 0: no limit
    std::mutex mutex;
    char path[ZU_LOGFILE_PATH] = {};
};

// The shared entry of path, or a new one opened for append. Null with *result -1 when
// the table is full, -2 when the file cannot be opened or the path does not fit.
zu_logfile_t* zu_logfile_open(const char* path, int flags, int max_size, int* result);
void zu_logfile_release(zu_logfile_t* entry);
// Appends line and a newline; keep_rotated keeps a rotated file under a dated name.
// 0 written, -1 dropped.
int zu_logfile_write(zu_logfile_t* entry, const char* line, bool keep_rotated);
// The entry writing to standard error (path "/dev/stderr", no limit).
zu_logfile_t* zu_logfile_stderr();
