// The per-thread event every record passes through, and the process-wide buffer
// lengths and time format.
#pragma once

#include <sys/time.h>

namespace plumespace {
class Appender;
}

constexpr int PLUME_NDC_MAX = 32;

struct plume_ndc_t {
    char key[64];
    char value[64];
};

struct plume_event_t {
    int level;
    int version;        // -1: none
    char type[64];      // empty: none
    struct timeval time;
    char procname[64];
    long tid;           // kernel thread id
    plume_ndc_t ndc[PLUME_NDC_MAX];
    int ndc_num;
    char* msg;
    int msg_size;
    int msg_len;
    char* line;
    int line_size;
    int line_len;
    plumespace::Appender* owner;
};

// The calling thread's event, made on first use; null when memory is short.
plume_event_t* plume_get_thread_event();
// Frees the calling thread's event now instead of at thread exit.
void plume_free_thread_event();
void plume_reset_event(plume_event_t* event);
int plume_push_ndc(plume_event_t* event, const char* key, const char* value);

void plume_set_loglength(int n);
void plume_set_time_format(const char* format);
// The time format of layout letter Y; set before threads write.
const char* plume_time_format();
