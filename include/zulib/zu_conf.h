// Configuration files of "name : value" lines read into a table of fixed-size items,
// with typed getters, setters and adders, one level of "$include", and number files
// (dir/file.n) holding typed values. Failures set the zulib error number (zu_error.h)
// and, for file problems, write a line to the process log.
#pragma once

#include <stddef.h>

constexpr int ZU_CONF_TEXT_SIZE = 2048;  // name and value, terminated
constexpr int ZU_CONF_MIN_CAPACITY = 1024;

// Value types of the adders and number files.
constexpr int ZU_CONF_INT = 0;
constexpr int ZU_CONF_UINT = 1;
constexpr int ZU_CONF_INT64 = 2;
constexpr int ZU_CONF_UINT64 = 3;
constexpr int ZU_CONF_STR = 4;
constexpr int ZU_CONF_FLOAT = 5;

struct zu_confitem_t {
    char name[ZU_CONF_TEXT_SIZE];
    char value[ZU_CONF_TEXT_SIZE];
};

struct zu_conftable_t {
    int count;     // items in use
    int capacity;  // items allocated
    zu_confitem_t* items;
};

// A table of at least ZU_CONF_MIN_CAPACITY items; null when memory is short.
zu_conftable_t* zu_initconf(int max);
int zu_freeconf(zu_conftable_t* table);

// Reads dir/file into the table from item 0: 1, or -1 when the file cannot be read, the
// table is too small or a name is too long. Bad lines are logged and skipped.
int zu_readconf(const char* dir, const char* file, zu_conftable_t* table);
// As zu_readconf, then appends the files named by "$include" items ("path" in double
// quotes, relative to the main file's directory) without following their own.
int zu_readconf_ex(const char* dir, const char* file, zu_conftable_t* table);

// Getters of the first item named name: 1 found, 0 not found (or not a number of the
// type). Integers: "0x..." is hexadecimal, other "0..." octal, else decimal.
int zu_getconfstr(const zu_conftable_t* table, const char* name, char* buf, size_t size);
int zu_getconfint(const zu_conftable_t* table, const char* name, int* value);
int zu_getconfuint(const zu_conftable_t* table, const char* name, unsigned* value);
int zu_getconfint64(const zu_conftable_t* table, const char* name, long long* value);
int zu_getconfuint64(const zu_conftable_t* table, const char* name, unsigned long long* value);
int zu_getconffloat(const zu_conftable_t* table, const char* name, float* value);

// Setters of the first item named name: 1 set, 0 no such item or a null table or name.
// zu_modifyconfstr: -1 for a null argument, -3 for a value too long.
int zu_modifyconfstr(zu_conftable_t* table, const char* name, const char* value);
int zu_modifyconfint(zu_conftable_t* table, const char* name, int value);
int zu_modifyconfuint(zu_conftable_t* table, const char* name, unsigned value);
int zu_modifyconfint64(zu_conftable_t* table, const char* name, long long value);
int zu_modifyconfuint64(zu_conftable_t* table, const char* name, unsigned long long value);
int zu_modifyconffloat(zu_conftable_t* table, const char* name, float value);

// Adders: 1 added, 0 name already present, -1 name too long, -2 table full, -3 text
// value too long, -4 null argument. value points to a value of the given type.
int zu_addconf(zu_conftable_t* table, const char* name, const void* value, int type);
int zu_addconfstr(zu_conftable_t* table, const char* name, const char* value);
int zu_addconfint(zu_conftable_t* table, const char* name, int value);
int zu_addconfuint(zu_conftable_t* table, const char* name, unsigned value);
int zu_addconfint64(zu_conftable_t* table, const char* name, long long value);
int zu_addconfuint64(zu_conftable_t* table, const char* name, unsigned long long value);
int zu_addconffloat(zu_conftable_t* table, const char* name, float value);

// Writes the table to dir/file as "name : value" lines: 1, or -1 when nothing could be
// written. An item whose name is not one word, or that holds a line end, is skipped.
int writeconf(const char* dir, const char* file, const zu_conftable_t* table);

// Number files. kreadnum_one reads name from dir/file.n as type (not the text type):
// 1 / -1. zu_writenum_one appends a line: 1, -1 file not written, -2 bad name, -3 null
// argument. zu_createnum creates or empties the file: 1 / -1.
int kreadnum_one(const char* dir, const char* file, const char* name, void* out, int type);
int zu_readnum_int(const char* dir, const char* file, const char* name, int* value);
int zu_readnum_uint(const char* dir, const char* file, const char* name, unsigned* value);
int zu_readnum_int64(const char* dir, const char* file, const char* name, long long* value);
int zu_readnum_uint64(const char* dir, const char* file, const char* name, unsigned long long* value);
int zu_readnum_float(const char* dir, const char* file, const char* name, float* value);
int zu_writenum_one(const char* dir, const char* file, const char* name, const void* value, int type);
int zu_writenum_int(const char* dir, const char* file, const char* name, int value);
int zu_writenum_uint(const char* dir, const char* file, const char* name, unsigned value);
int zu_writenum_int64(const char* dir, const char* file, const char* name, long long value);
int zu_writenum_uint64(const char* dir, const char* file, const char* name, unsigned long long value);
int zu_writenum_float(const char* dir, const char* file, const char* name, float value);
int zu_createnum(const char* dir, const char* file);
