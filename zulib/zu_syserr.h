// The failure line of a checked call: a WARNING through the process log whose format
// takes the call's arguments and then errno and its text. errno is the call's again
// once the line is written.
#pragma once

#include <errno.h>
#include <string.h>

#include "zulib/zu_log.h"

struct zu_syserr_t {
    zu_syserr_t() : no(errno), text(strerror_r(no, buf, sizeof(buf))) {}
    ~zu_syserr_t() { errno = no; }
    zu_syserr_t(const zu_syserr_t&) = delete;
    zu_syserr_t& operator=(const zu_syserr_t&) = delete;

    const int no;
    char buf[256];
    const char* const text;
};

// A macro keeps the format a literal, checked against its arguments.
#define ZU_SYSWARN(fmt, ...)                                                           \
    do {                                                                               \
        zu_syserr_t zu_err_;                                                           \
        zu_writelog(ZU_LOG_WARNING, fmt, ##__VA_ARGS__, zu_err_.no, zu_err_.text);     \
    } while (0)
