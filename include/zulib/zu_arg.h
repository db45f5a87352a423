// Command-line splitting into short options (-v, -abc, -f value), long options
// (--name value) and plain ("basic") parameters.
#pragma once

constexpr int ZU_ARG_SHORT_MAX = 20;
constexpr int ZU_ARG_LONG_MAX = 10;
constexpr int ZU_ARG_BASIC_MAX = 10;
constexpr int ZU_ARG_VALUE_SIZE = 256;
constexpr int ZU_ARG_NAME_SIZE = 21;
constexpr int ZU_ARG_BASIC_SIZE = 129;

struct zu_arg_short_t {
    char fetched;
    char letter;
    char value[ZU_ARG_VALUE_SIZE];
};

struct zu_arg_long_t {
    char fetched;
    char name[ZU_ARG_NAME_SIZE];
    char value[ZU_ARG_VALUE_SIZE];
};

struct zu_arg_t {
    int short_count;
    int fetched_count;  // options a getter has read at least once
    zu_arg_short_t shorts[ZU_ARG_SHORT_MAX];
    int long_count;
    zu_arg_long_t longs[ZU_ARG_LONG_MAX];
    int basic_count;
    char basics[ZU_ARG_BASIC_MAX][ZU_ARG_BASIC_SIZE];
};

zu_arg_t* zu_arg_new();
void zu_arg_free(zu_arg_t* arg);
// 0, or -1 (with a message on standard output) when there are too many options or
// parameters.
int zu_arg_parse(zu_arg_t* arg, int argc, char** argv);
// 0 absent; 1 present without a value, or buf or size null; else the value's length,
// copied into buf with *size set to it. A value that does not fit gets its first
// *size - 1 characters and 0.
int zu_arg_getshort(zu_arg_t* arg, char letter, char* buf, int* size);
int zu_arg_getlong(zu_arg_t* arg, const char* name, char* buf, int* size);
// The basic parameter at index: its length, copied into buf with *size set to it; 0 when
// there is none or it does not fit.
int zu_arg_getbasic(zu_arg_t* arg, int index, char* buf, int* size);
