// The reload table: files read again by plumesig_reload_all, each setting one level record.
#pragma once

#include "plume/plume_loadlog.h"

namespace plumespace {
struct LogStat;
}

typedef int (*plumesig_reader_t)(plume_logstat_t* out, const char* path, const char* file);

constexpr int PLUMESIG_MAX_ENTRIES = 1024;

struct plumesig_entry_t {
    plumespace::LogStat* record;
    plumesig_reader_t reader;
    char path[1024];
    char file[256];
};

// Registers record with reader and its file: 0, or -1 for a null argument or a full table.
int plumesig_register_conf(plumespace::LogStat* record, plumesig_reader_t reader, const char* path,
                           const char* file);
int plumesig_add(const plumesig_entry_t& entry);
// Empties the table; the library's close calls it before it frees the level records.
void plumesig_forget_all();
