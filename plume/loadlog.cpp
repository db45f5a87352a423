// Opens plume from a configuration file: process keys, then one device per
// "PLUME_DEVICE<i>" with its own keys.
#include <stdio.h>
#include <string.h>

#include <memory>
#include <new>
#include <vector>

#include "plume/layout.h"
#include "plume/plume.h"
#include "plume/plume_event.h"
#include "plume/plume_loadlog.h"
#include "zulib/zu_conf.h"
#include "conf_device.h"
#include "core.h"
#include "name_mg.h"
#include "plume_diag.h"

using plumespace::ConfDevice;
using plumespace::Layout;

namespace {

// Every key of the file that is the device's own (D_...) or every device's
// (PLUME_DFS...) goes into its parameters, in file order, at most 64.
void collect_params(const zu_conftable_t* table, const char* device, plume_device_t* dev) {
    size_t len = strlen(device);
    for (int i = 0; i < table->count && dev->param_num < PLUME_MAX_PARAMS; ++i) {
        const zu_confitem_t& item = table->items[i];
        bool own = strncmp(item.name, device, len) == 0 && item.name[len] == '_';
        if (!own && strncmp(item.name, "PLUME_DFS", 9) != 0) continue;
        plume_param_t& param = dev->params[dev->param_num++];
        snprintf(param.key, sizeof(param.key), "%s", item.name);
        snprintf(param.value, sizeof(param.value), "%s", item.value);
    }
}

void add_fluvia_param(const char* device, int pid, plume_device_t* dev) {
    if (strcmp(dev->type, "FLUVIA") != 0 || dev->param_num >= PLUME_MAX_PARAMS) return;
    plume_param_t& param = dev->params[dev->param_num++];
    snprintf(param.key, sizeof(param.key), "%s_%s", device, "DISKLOG_PATH_ID");
    snprintf(param.value, sizeof(param.value), "%d", pid);
}

// A word, or the number 0, 1 or 2; anything else keeps the default.
void read_splite_type(ConfDevice& d, plume_device_t* dev) {
    char value[ZU_CONF_TEXT_SIZE];
    if (!d.getStr("SPLITE_TYPE", value, sizeof(value))) return;
    const char* const words[] = {"TRUNCT", "SIZECUT", "DATECUT"};
    for (unsigned char type = PLUME_TRUNCT; type <= PLUME_DATECUT; ++type)
        if (strcmp(value, words[type]) == 0) {
            dev->splite_type = type;
            return;
        }
    int n;
    if (d.getInt("SPLITE_TYPE", &n) && n >= PLUME_TRUNCT && n <= PLUME_DATECUT) {
        dev->splite_type = static_cast<unsigned char>(n);
        return;
    }
    PLUME_DIAG("Error config for plume: %s : %s", d.key("SPLITE_TYPE"), value);
}

// Level n opens every level from 1 to n, the unnamed ones between the standard levels
// too. Bit 31 is taken as the sign of a 32-bit mask widened to 64 bits, so level 31
// also opens every self-defined level.
void read_syslevel(ConfDevice& d, plume_device_t* dev) {
    int n = PLUME_LOG_DEBUG;
    d.getInt("SYSLEVEL", &n);
    if (n > 31) {
        PLUME_DIAG("invalid %s = %d", d.name(), n);
        return;
    }
    uint64_t mask = 0;
    for (int i = 1; i <= n; ++i) mask |= 1ULL << i;
    if (n == 31) mask |= 0xffffffff00000000ULL;
    dev->log_mask = mask;
}

// A layout of the device's own when it sets LAYOUT or LAYOUT_NDC; it is registered so
// that it lives as long as the appenders that use it.
bool read_layout(ConfDevice& d, plume_device_t* dev) {
    char pattern[ZU_CONF_TEXT_SIZE];
    char ndc_pattern[ZU_CONF_TEXT_SIZE];
    bool own_pattern = d.getStr("LAYOUT", pattern, sizeof(pattern));
    bool own_ndc = d.getStr("LAYOUT_NDC", ndc_pattern, sizeof(ndc_pattern));
    if (!own_pattern && !own_ndc) return true;
    std::unique_ptr<Layout> made(new (std::nothrow) Layout());
    if (!made) return false;
    if (own_pattern) made->setPattern(pattern);
    if (own_ndc) made->setNdcPattern(ndc_pattern);
    char name[32];
    snprintf(name, sizeof(name), "%p", static_cast<void*>(made.get()));
    plumespace::NameMg* names = plumespace::NameMg::getInstance();
    if (plumespace::core_init() != 0 || names->set(plumespace::NAME_LAYOUT, name, made.get()) != 0) return false;
    dev->layout = made.release();
    return true;
}

// Fills dev (reset) from the keys of device i; false on a configuration error.
bool read_device(const zu_conftable_t* table, int i, int pid, plume_device_t* dev) {
    ConfDevice d(table, "plume");
    if (!d.readHead(i, dev)) return false;
    d.getStr("RESERVED1", dev->reserved1, sizeof(dev->reserved1));
    d.getStr("RESERVED2", dev->reserved2, sizeof(dev->reserved2));
    d.getStr("RESERVED3", dev->reserved3, sizeof(dev->reserved3));
    d.getStr("RESERVED4", dev->reserved4, sizeof(dev->reserved4));
    collect_params(table, d.name(), dev);
    if (pid < 0) {
        PLUME_DIAG("Illegal para pid = %d", pid);
        return false;
    }
    add_fluvia_param(d.name(), pid, dev);
    snprintf(dev->name, sizeof(dev->name), "%.15s", d.name());
    dev->param_count = dev->param_size = dev->param_num;
    int value;
    // Any non-zero value switches the device on, also one that a char would cut to 0.
    if (d.getInt("OPEN", &value)) dev->open = value != 0;
    read_splite_type(d, dev);
    d.getInt("SIZE", &dev->log_size);
    if (d.getInt("COMPRESS", &value)) dev->compress = static_cast<unsigned char>(value);
    if (d.getInt("DATA_CUTTIME", &value) && value >= 1) dev->cuttime = value;
    read_syslevel(d, dev);
    char names[ZU_CONF_TEXT_SIZE];
    if (d.getStr("SELFLEVEL", names, sizeof(names))) plume_selflevel_to_mask(dev, names);
    d.getStr("AUTH", dev->auth, sizeof(dev->auth));
    return read_layout(d, dev);
}

}  // namespace

int plume_loadlog(const char* path, const char* file) { return plume_loadlog_ex(path, file, 0); }

int plume_loadlog_ex(const char* path, const char* file, int pid) {
    plumespace::ConfTable table = plumespace::read_conf(path, file, "plume");
    if (!table) return -1;
    const zu_conftable_t* t = table.get();
    plume_logstat_t stat;
    plume_resetlogstat(&stat);
    char procname[256];
    if (!zu_getconfstr(t, "PLUME_PROCNAME", procname, sizeof(procname)))
        snprintf(procname, sizeof(procname), "NoModuleName");
    zu_getconfint(t, "PLUME_LEVEL", &stat.level);
    zu_getconfstr(t, "PLUME_SELFDEFINE", stat.userevents, sizeof(stat.userevents));
    char time_format[128];
    if (zu_getconfstr(t, "PLUME_TIME_FORMAT", time_format, sizeof(time_format))) plume_set_time_format(time_format);
    int length;
    if (zu_getconfint(t, "PLUME_LOGLENGTH", &length)) plume_set_loglength(length);
    int num = 0;
    zu_getconfint(t, "PLUME_DEVICE_NUM", &num);
    // Grown device by device, as a count beyond what the file configures must fail at
    // its first missing device, not allocate for all of them.
    std::vector<plume_device_t> devs;
    for (int i = 0; i < num; ++i) {
        devs.emplace_back();
        plume_resetdevice(&devs.back());
        if (!read_device(t, i, pid, &devs.back())) return -1;
    }
    if (devs.empty()) {  // plume_openlog wants an array even for no device
        devs.emplace_back();
        plume_resetdevice(&devs.back());
    }
    for (plume_device_t& dev : devs) dev.param_list = dev.params;  // they moved as the array grew
    return plume_openlog(procname, devs.data(), num, &stat);
}
