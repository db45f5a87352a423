#include "lodir/lodir_log.h"

#include <stdio.h>
#include <string.h>

#include <atomic>
#include <memory>

namespace lodir {

namespace {

std::atomic<int> g_lodir_log_level{0};

const int kDefaultLogSizeMb = 256;

}  // namespace

void SetLodirLogLevel(int level) {
    g_lodir_log_level.store(level);
}

int GetLodirLogLevel() {
    return g_lodir_log_level.load();
}

int OpenLodirLog(const char* file, int level, int cut_by_size, int size_mb) {
    // A cut name would send the lines to another file than the one asked for.
    if (file == nullptr || strlen(file) >= sizeof(plume_device_t::file)) {
        return -1;
    }
    // The device record is large (its parameter table alone is 256 KB).
    std::unique_ptr<plume_device_t> device(new plume_device_t());
    plume_resetdevice(device.get());
    snprintf(device->file, sizeof(device->file), "%s", file);
    snprintf(device->type, sizeof(device->type), "%s", "FILE");
    snprintf(device->path, sizeof(device->path), "%s", file[0] == '/' ? "" : ".");
    device->open = '1';
    device->log_size = size_mb > 0 ? size_mb : kDefaultLogSizeMb;
    device->splite_type = cut_by_size != 0 ? PLUME_SIZECUT : PLUME_TRUNCT;
    device->log_mask |= PLUME_DEFAULT_MASK;

    plume_logstat_t stat;
    plume_resetlogstat(&stat);
    stat.level = level;
    if (plume_openlog("lodir-reverse", device.get(), 1, &stat) != 0) {
        return -1;
    }
    SetLodirLogLevel(level);
    return 0;
}

int CloseLodirLog() {
    return plume_closelog_r();
}

}  // namespace lodir
