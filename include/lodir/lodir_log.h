// The naming lookup's own log gate. Its lines are written only when its own
// level admits them; the level stays 0, so nothing is written, until
// OpenLodirLog gives the lookup a log file of its own.
#pragma once

#include "plume/plume.h"

namespace lodir {

void SetLodirLogLevel(int level);
int GetLodirLogLevel();

// Opens file (below the current directory unless absolute) as the one log
// device, writing levels up to level; size_mb is the cut size (256 when 0 or
// less), cut by size when cut_by_size is non-zero. 0, or -1 when file is null,
// too long for a device or cannot be opened.
int OpenLodirLog(const char* file, int level, int cut_by_size, int size_mb);
// Closes the calling thread's log handle; the level stays as it was.
int CloseLodirLog();

}  // namespace lodir

// Writes one line at level when the naming log level admits it; fmt carries
// the line's own "[unit:line][method]" tag.
#define LODIR_LOG(level, fmt, ...)                              \
    do {                                                        \
        if (::lodir::GetLodirLogLevel() >= (level)) {           \
            plume_writelog((level), fmt, ##__VA_ARGS__);        \
        }                                                       \
    } while (0)
