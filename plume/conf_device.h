// A plume configuration table, and the keys of one device in it: the device's name D
// comes from "PLUME_DEVICE<i>", and each of its keys is D, an underscore and a suffix.
#pragma once

#include <stddef.h>

#include <memory>

#include "plume/plume.h"
#include "zulib/zu_conf.h"

namespace plumespace {

typedef std::unique_ptr<zu_conftable_t, int (*)(zu_conftable_t*)> ConfTable;

// path/file read without following "$include"; null after printing "init conf err" or
// "read conf err" under unit.
ConfTable read_conf(const char* path, const char* file, const char* unit);

class ConfDevice {
public:
    // unit names the source in the diagnostics ("plume" or "plumesig").
    ConfDevice(const zu_conftable_t* table, const char* unit) : table_(table), unit_(unit) {}

    // Reads the name of device i and its TYPE, PATH and NAME into dev (a TTY device
    // needs no PATH or NAME); false after printing what is missing or wrong.
    bool readHead(int i, plume_device_t* dev);

    const char* name() const { return name_; }
    // The key text of suffix, valid until the next call.
    const char* key(const char* suffix);
    // The device's key of suffix into buf (cleared when missing): true when found.
    bool getStr(const char* suffix, char* buf, size_t size);
    // The device's key of suffix as an int: true when found and a number.
    bool getInt(const char* suffix, int* value);

private:
    // The key into buf; false after printing "can't get flag[...]" when missing.
    bool require(const char* key, char* buf, size_t size);

    const zu_conftable_t* table_;
    const char* unit_;
    char name_[256] = "";
    char key_[sizeof(name_) + 32];
};

}  // namespace plumespace
