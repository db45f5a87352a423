#include "zulib/zu_arg.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zulib/zu_string.h"

namespace {

// Prints the overflow message for a parse that would hold count items of its kind.
int overflow(const char* kind, int count) {
    printf("ARG_ERROR: two many %s parameters %d have been inputed.\n", kind, count);
    return -1;
}

// Reads the letters of one option argument (after its '-'); -1 when there is no room.
// letters counts the short options it held; long_waits tells whether it named a long
// option, which then waits for a value.
int parse_option(zu_arg_t* arg, const char* p, int* letters, bool* long_waits) {
    for (; *p; ++p) {
        if (*p != '-') {
            if (arg->short_count + 1 >= ZU_ARG_SHORT_MAX) return overflow("option", arg->short_count + 1);
            zu_arg_short_t& opt = arg->shorts[arg->short_count++];
            opt.letter = *p;
            ++*letters;
            continue;
        }
        if (p[1] == '\0') return 0;  // "--" alone names nothing
        if (arg->long_count + 1 > ZU_ARG_LONG_MAX) return overflow("long option", arg->long_count + 1);
        zu_strlcpy(arg->longs[arg->long_count++].name, p + 1, ZU_ARG_NAME_SIZE);
        *long_waits = true;
        return 0;
    }
    return 0;
}

// Hands out value as a getter does, marking the option fetched on success.
int fetch(char* fetched, int* fetched_count, const char* value, char* buf, int* size) {
    if (value[0] == '\0' || !buf || !size) return 1;
    int len = static_cast<int>(strlen(value));
    if (len + 1 > *size) {
        if (*size > 0) zu_strlcpy(buf, value, static_cast<size_t>(*size));
        return 0;
    }
    memcpy(buf, value, static_cast<size_t>(len) + 1);
    *size = len;
    if (!*fetched) {
        *fetched = 1;
        ++*fetched_count;
    }
    return len;
}

int absent(char* buf, int* size) {
    if (buf && size) {
        if (*size > 0) buf[0] = '\0';
        *size = 0;
    }
    return 0;
}

}  // namespace

zu_arg_t* zu_arg_new() { return static_cast<zu_arg_t*>(calloc(1, sizeof(zu_arg_t))); }

void zu_arg_free(zu_arg_t* arg) { free(arg); }

int zu_arg_parse(zu_arg_t* arg, int argc, char** argv) {
    if (!arg || !argv) return -1;
    int letters = 0;
    bool long_waits = false;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (!a) continue;
        if (a[0] == '-') {
            letters = 0;
            long_waits = false;
            if (parse_option(arg, a + 1, &letters, &long_waits) != 0) return -1;
            continue;
        }
        if (long_waits) {
            zu_strlcpy(arg->longs[arg->long_count - 1].value, a, ZU_ARG_VALUE_SIZE);
        } else if (letters == 1) {
            zu_strlcpy(arg->shorts[arg->short_count - 1].value, a, ZU_ARG_VALUE_SIZE);
        } else {
            if (arg->basic_count + 1 >= ZU_ARG_BASIC_MAX) return overflow("basic", arg->basic_count + 1);
            zu_strlcpy(arg->basics[arg->basic_count++], a, ZU_ARG_BASIC_SIZE);
        }
        letters = 0;
        long_waits = false;
    }
    return 0;
}

int zu_arg_getshort(zu_arg_t* arg, char letter, char* buf, int* size) {
    for (int i = 0; arg && i < arg->short_count; ++i) {
        zu_arg_short_t& opt = arg->shorts[i];
        if (opt.letter == letter) return fetch(&opt.fetched, &arg->fetched_count, opt.value, buf, size);
    }
    return absent(buf, size);
}

int zu_arg_getlong(zu_arg_t* arg, const char* name, char* buf, int* size) {
    for (int i = 0; arg && name && i < arg->long_count; ++i) {
        zu_arg_long_t& opt = arg->longs[i];
        if (strcmp(opt.name, name) == 0) return fetch(&opt.fetched, &arg->fetched_count, opt.value, buf, size);
    }
    return absent(buf, size);
}

int zu_arg_getbasic(zu_arg_t* arg, int index, char* buf, int* size) {
    if (!arg || !buf || !size || index < 0 || index > arg->basic_count) return 0;
    if (*size > 0) memset(buf, 0, static_cast<size_t>(*size));
    const char* value = index < ZU_ARG_BASIC_MAX ? arg->basics[index] : "";
    int len = static_cast<int>(strlen(value));
    if (len == 0 || len >= *size) return 0;
    memcpy(buf, value, static_cast<size_t>(len) + 1);
    *size = len;
    return len;
}
