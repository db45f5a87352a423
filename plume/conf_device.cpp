#include "conf_device.h"

#include <stdio.h>
#include <string.h>

#include "plume/appender.h"
#include "plume_diag.h"

namespace plumespace {

ConfTable read_conf(const char* path, const char* file, const char* unit) {
    ConfTable table(zu_initconf(4095), zu_freeconf);
    if (!table) {
        plume_diag(unit, __LINE__, "init conf err");
    } else if (zu_readconf(path, file, table.get()) != 1) {
        plume_diag(unit, __LINE__, "read conf err");
        table.reset();
    }
    return table;
}

bool ConfDevice::require(const char* key, char* buf, size_t size) {
    if (zu_getconfstr(table_, key, buf, size) == 1) return true;
    plume_diag(unit_, __LINE__, "can't get flag[%s]", key);
    return false;
}

bool ConfDevice::readHead(int i, plume_device_t* dev) {
    char device_key[32];
    snprintf(device_key, sizeof(device_key), "%s%d", "PLUME_DEVICE", i);
    if (!require(device_key, name_, sizeof(name_))) return false;
    // Read whole, so that a long name cannot pass the check cut to a registered one.
    char type[ZU_CONF_TEXT_SIZE];
    if (!require(key("TYPE"), type, sizeof(type))) return false;
    if (!Appender::isTypeRegistered(type)) {
        plume_diag(unit_, __LINE__, "Unkown device type[%s] at flag[%s]", type, key_);
        return false;
    }
    snprintf(dev->type, sizeof(dev->type), "%.15s", type);  // registered, so shorter
    if (strcmp(type, "TTY") == 0) {
        getStr("PATH", dev->path, sizeof(dev->path));
        getStr("NAME", dev->file, sizeof(dev->file));
        return true;
    }
    return require(key("PATH"), dev->path, sizeof(dev->path)) && require(key("NAME"), dev->file, sizeof(dev->file));
}

const char* ConfDevice::key(const char* suffix) {
    snprintf(key_, sizeof(key_), "%s_%s", name_, suffix);
    return key_;
}

bool ConfDevice::getStr(const char* suffix, char* buf, size_t size) {
    return zu_getconfstr(table_, key(suffix), buf, size) == 1;
}

bool ConfDevice::getInt(const char* suffix, int* value) { return zu_getconfint(table_, key(suffix), value) == 1; }

}  // namespace plumespace
