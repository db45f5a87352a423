#include "zulib/zu_logfile.h"

#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace {

zu_logfile_t g_table[ZU_LOGFILE_MAX];
std::mutex g_table_mutex;

zu_logfile_t* make_stderr_entry() {
    static zu_logfile_t entry;
    entry.fp = stderr;
    entry.refcount = 1;
    snprintf(entry.path, sizeof(entry.path), "%s", "/dev/stderr");
    return &entry;
}

// Opens path for append, creating its directory (one level) when the first try fails.
FILE* open_append(const char* path) {
    FILE* fp = fopen(path, "ae");
    if (fp) return fp;
    std::string dir(path);
    size_t slash = dir.rfind('/');
    if (slash == std::string::npos || slash == 0) return nullptr;
    dir.resize(slash);
    mkdir(dir.c_str(), 0700);
    return fopen(path, "ae");
}

// Moves the full file aside; returns the name of a file to remove afterwards, or "".
std::string rotate(zu_logfile_t* e, bool keep) {
    std::string target;
    if (keep) {
        time_t now = time(nullptr);
        struct tm tm;
        localtime_r(&now, &tm);
        char stamp[32];
        snprintf(stamp, sizeof(stamp), ".%04d%02d%02d%02d%02d%02d", tm.tm_year + 1900,
                 tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
        std::string dated = std::string(e->path) + stamp;
        target = dated;
        struct stat st;
        for (int i = 1; stat(target.c_str(), &st) == 0; ++i) target = dated + "." + std::to_string(i);
    } else {
        std::string path(e->path);
        size_t slash = path.rfind('/');
        if (slash == std::string::npos)
            target = "." + path + ".tmp";
        else
            target = path.substr(0, slash) + "/." + path.substr(slash + 1) + ".tmp";
    }
    rename(e->path, target.c_str());
    fclose(e->fp);
    e->fp = open_append(e->path);
    return keep ? std::string() : target;
}

}  // namespace

zu_logfile_t* zu_logfile_stderr() {
    static zu_logfile_t* entry = make_stderr_entry();
    return entry;
}

zu_logfile_t* zu_logfile_open(const char* path, int flags, int max_size, int* result) {
    *result = -2;
    if (strlen(path) >= ZU_LOGFILE_PATH) return nullptr;
    std::lock_guard<std::mutex> lock(g_table_mutex);
    zu_logfile_t* free_entry = nullptr;
    for (zu_logfile_t& e : g_table) {
        // An entry is in use while referenced, even when a failed reopen left no stream.
        if (e.refcount > 0 && strcmp(e.path, path) == 0) {
            ++e.refcount;
            *result = 0;
            return &e;
        }
        if (e.refcount <= 0 && !free_entry) free_entry = &e;
    }
    if (!free_entry) {
        *result = -1;
        return nullptr;
    }
    FILE* fp = open_append(path);
    if (!fp) return nullptr;
    free_entry->fp = fp;
    free_entry->flags = flags;
    free_entry->refcount = 1;
    free_entry->max_size = max_size;
    snprintf(free_entry->path, sizeof(free_entry->path), "%s", path);
    *result = 0;
    return free_entry;
}

void zu_logfile_release(zu_logfile_t* e) {
    if (!e || e == zu_logfile_stderr()) return;
    std::lock_guard<std::mutex> lock(g_table_mutex);
    if (--e->refcount > 0) return;
    std::lock_guard<std::mutex> entry_lock(e->mutex);
    if (e->fp) fclose(e->fp);
    e->fp = nullptr;
    e->refcount = 0;
    e->path[0] = '\0';
}

int zu_logfile_write(zu_logfile_t* e, const char* line, bool keep_rotated) {
    std::string discard;
    int ret = 0;
    {
        std::lock_guard<std::mutex> lock(e->mutex);
        if (e->max_size != 0 && e->fp != stderr) {
            struct stat st;
            if (!e->fp || stat(e->path, &st) != 0) {
                if (e->fp) fclose(e->fp);
                e->fp = open_append(e->path);
            } else if ((e->flags & ZU_LOGFILE_ROTATE) &&
                       static_cast<long long>(st.st_size) + 2048 >= e->max_size) {
                discard = rotate(e, keep_rotated);
            }
        }
        if (!e->fp || fprintf(e->fp, "%s\n", line) < 0 || fflush(e->fp) != 0) ret = -1;
    }
    if (!discard.empty()) unlink(discard.c_str());
    return ret;
}
