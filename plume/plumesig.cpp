// The reload table and its reader, which change levels and switch devices on or off
// from registered configuration files while the process runs.
#include "plumesig.h"

#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "plume/appender.h"
#include "zulib/zu_conf.h"
#include "category.h"
#include "conf_device.h"
#include "plume_diag.h"

namespace {

struct ReloadTable {
    std::mutex mutex;
    std::vector<plumesig_entry_t> entries;
};

ReloadTable& reload_table() {
    static ReloadTable* table = new ReloadTable();
    return *table;
}

// Sets the open flag of each configured device's existing appender: 0, or -1 at the
// first device that is missing or wrong, or when no device is configured.
int reload_devices(const zu_conftable_t* table) {
    int num = 0;
    zu_getconfint(table, "PLUME_DEVICE_NUM", &num);
    if (num < 1) return -1;
    std::unique_ptr<plume_device_t> dev(new (std::nothrow) plume_device_t);
    if (!dev) return -1;
    plumespace::ConfDevice d(table, "plumesig");
    for (int i = 0; i < num; ++i) {
        plume_resetdevice(dev.get());
        if (!d.readHead(i, dev.get())) return -1;
        int open = 1;
        d.getInt("OPEN", &open);
        if (plumespace::Appender* a = plumespace::Appender::tryAppenderByType(dev.get())) a->is_open.store(open);
    }
    return 0;
}

}  // namespace

int plumesig_reload_conf(plume_logstat_t* out, const char* path, const char* file) {
    if (!out || !path || !file) {
        plume_diag("plumesig", __LINE__, "invalid param");
        return -1;
    }
    plumespace::ConfTable table = plumespace::read_conf(path, file, "plumesig");
    if (!table) return -1;
    plume_logstat_t stat;
    memset(&stat, 0, sizeof(stat));
    stat.level = PLUME_LOG_DEBUG;
    zu_getconfint(table.get(), "PLUME_LEVEL", &stat.level);
    zu_getconfstr(table.get(), "PLUME_SELFDEFINE", stat.userevents, sizeof(stat.userevents));
    int ret = reload_devices(table.get());
    *out = stat;
    return ret;
}

int plumesig_register_conf(plumespace::LogStat* record, plumesig_reader_t reader, const char* path,
                           const char* file) {
    if (!record || !reader || !path || !file) return -1;
    plumesig_entry_t entry{record, reader, "", ""};
    // A name cut to fit would read another file at each reload.
    if (strlen(path) >= sizeof(entry.path) || strlen(file) >= sizeof(entry.file)) return -1;
    snprintf(entry.path, sizeof(entry.path), "%s", path);
    snprintf(entry.file, sizeof(entry.file), "%s", file);
    return plumesig_add(entry);
}

int plumesig_add(const plumesig_entry_t& entry) {
    ReloadTable& t = reload_table();
    std::lock_guard<std::mutex> lock(t.mutex);
    if (t.entries.size() >= PLUMESIG_MAX_ENTRIES) return -1;
    t.entries.push_back(entry);
    return 0;
}

void plumesig_forget_all() {
    ReloadTable& t = reload_table();
    std::lock_guard<std::mutex> lock(t.mutex);
    t.entries.clear();
}

int plumesig_reload_all() {
    ReloadTable& t = reload_table();
    std::lock_guard<std::mutex> lock(t.mutex);
    for (const plumesig_entry_t& e : t.entries) {
        plume_logstat_t stat;
        plume_resetlogstat(&stat);
        // Writing threads read the mask without a lock: one atomic store.
        if (e.reader(&stat, e.path, e.file) != -1) e.record->mask.store(plumespace::logstat_mask(&stat));
    }
    return 0;
}

int plume_reg_reload_conf(const char* path, const char* file) {
    plumespace::Category* category = plume_getcategory();
    plumespace::LogStat* record = category ? category->currentLogstat() : nullptr;
    return plumesig_register_conf(record, plumesig_reload_conf, path, file);
}

int plume_reload_all() {
    plumesig_reload_all();
    return 0;
}

plumesig_handler_t plumesig_signal(int signo, plumesig_handler_t handler) {
    struct sigaction act, old;
    memset(&act, 0, sizeof(act));
    act.sa_handler = handler;
    sigemptyset(&act.sa_mask);
    act.sa_flags = signo == SIGALRM ? SA_INTERRUPT : SA_RESTART;
    if (sigaction(signo, &act, &old) < 0) return SIG_ERR;
    return old.sa_handler;
}
