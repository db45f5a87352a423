// Number files: dir/file.n holding "name : value" lines of typed values.
#include <stdio.h>

#include <string>

#include "zu_conf_internal.h"
#include "zulib/zu_error.h"
#include "zulib/zu_log.h"
#include "zulib/zu_syscall.h"

namespace {

std::string number_path(const char* dir, const char* file) { return std::string(dir) + "/" + file + ".n"; }

int get_typed(const zu_conftable_t* table, const char* name, void* out, int type) {
    switch (type) {
    case ZU_CONF_INT: return zu_getconfint(table, name, static_cast<int*>(out));
    case ZU_CONF_UINT: return zu_getconfuint(table, name, static_cast<unsigned*>(out));
    case ZU_CONF_INT64: return zu_getconfint64(table, name, static_cast<long long*>(out));
    case ZU_CONF_UINT64: return zu_getconfuint64(table, name, static_cast<unsigned long long*>(out));
    case ZU_CONF_FLOAT: return zu_getconffloat(table, name, static_cast<float*>(out));
    default: return 0;
    }
}

}  // namespace

int kreadnum_one(const char* dir, const char* file, const char* name, void* out, int type) {
    if (!dir || !file || !name || !out) {
        zu_seterrno(ZU_ERR_PARAM);
        return -1;
    }
    zu_conftable_t* table = zu_initconf(ZU_CONF_MIN_CAPACITY);
    if (!table) return -1;
    int found = 0;
    if (zu_readconf(dir, (std::string(file) + ".n").c_str(), table) == 1) {
        found = get_typed(table, name, out, type);
        if (!found) zu_writelog(ZU_LOG_FATAL, "[kreadnum_one] have no (%s).", name);
    }
    zu_freeconf(table);
    return found ? 1 : -1;
}

int zu_readnum_int(const char* dir, const char* file, const char* name, int* value) {
    return kreadnum_one(dir, file, name, value, ZU_CONF_INT);
}

int zu_readnum_uint(const char* dir, const char* file, const char* name, unsigned* value) {
    return kreadnum_one(dir, file, name, value, ZU_CONF_UINT);
}

int zu_readnum_int64(const char* dir, const char* file, const char* name, long long* value) {
    return kreadnum_one(dir, file, name, value, ZU_CONF_INT64);
}

int zu_readnum_uint64(const char* dir, const char* file, const char* name, unsigned long long* value) {
    return kreadnum_one(dir, file, name, value, ZU_CONF_UINT64);
}

int zu_readnum_float(const char* dir, const char* file, const char* name, float* value) {
    return kreadnum_one(dir, file, name, value, ZU_CONF_FLOAT);
}

int zu_writenum_one(const char* dir, const char* file, const char* name, const void* value, int type) {
    if (!dir || !file || !name || !value) {
        zu_seterrno(ZU_ERR_PARAM);
        return -3;
    }
    if (!zu_conf_writable_name(name)) {
        zu_writelog(ZU_LOG_FATAL, "[writeconf] var's name (%s) error", name);
        return -2;
    }
    FILE* fp = zu_fopen(number_path(dir, file).c_str(), "a");
    if (!fp) {
        zu_seterrno(ZU_ERR_OPEN);
        return -1;
    }
    bool written = true;
    char text[ZU_CONF_TEXT_SIZE];
    if (type != ZU_CONF_STR && zu_conf_format(text, value, type))
        written = fprintf(fp, "%s : %s\n", name, text) >= 0;
    if (zu_fclose(fp) != 0) written = false;
    return written ? 1 : -1;
}

int zu_writenum_int(const char* dir, const char* file, const char* name, int value) {
    return zu_writenum_one(dir, file, name, &value, ZU_CONF_INT);
}

int zu_writenum_uint(const char* dir, const char* file, const char* name, unsigned value) {
    return zu_writenum_one(dir, file, name, &value, ZU_CONF_UINT);
}

int zu_writenum_int64(const char* dir, const char* file, const char* name, long long value) {
    return zu_writenum_one(dir, file, name, &value, ZU_CONF_INT64);
}

int zu_writenum_uint64(const char* dir, const char* file, const char* name, unsigned long long value) {
    return zu_writenum_one(dir, file, name, &value, ZU_CONF_UINT64);
}

int zu_writenum_float(const char* dir, const char* file, const char* name, float value) {
    return zu_writenum_one(dir, file, name, &value, ZU_CONF_FLOAT);
}

int zu_createnum(const char* dir, const char* file) {
    if (!dir || !file) {
        zu_seterrno(ZU_ERR_PARAM);
        return -1;
    }
    FILE* fp = zu_fopen(number_path(dir, file).c_str(), "w");
    if (!fp) return -1;
    return zu_fclose(fp) == 0 ? 1 : -1;
}
