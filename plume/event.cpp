#include "plume/plume_event.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <new>

namespace {

constexpr int DEFAULT_LENGTH = 2048;

std::atomic<int> g_msg_length{DEFAULT_LENGTH};
std::atomic<int> g_line_length{DEFAULT_LENGTH};
char g_time_format[128];

pthread_key_t g_event_key;
pthread_once_t g_event_once = PTHREAD_ONCE_INIT;

void free_event(void* p) {
    plume_event_t* event = static_cast<plume_event_t*>(p);
    free(event->msg);
    free(event->line);
    delete event;
}

void make_event_key() { pthread_key_create(&g_event_key, free_event); }

}  // namespace

plume_event_t* plume_get_thread_event() {
    pthread_once(&g_event_once, make_event_key);
    plume_event_t* event = static_cast<plume_event_t*>(pthread_getspecific(g_event_key));
    if (event) return event;
    event = new (std::nothrow) plume_event_t();
    if (!event) return nullptr;
    event->msg_size = g_msg_length.load();
    event->line_size = g_line_length.load();
    event->msg = static_cast<char*>(malloc(event->msg_size));
    event->line = static_cast<char*>(malloc(event->line_size));
    if (!event->msg || !event->line || pthread_setspecific(g_event_key, event) != 0) {
        free_event(event);
        return nullptr;
    }
    plume_reset_event(event);
    event->tid = static_cast<long>(syscall(SYS_gettid));
    return event;
}

void plume_free_thread_event() {
    pthread_once(&g_event_once, make_event_key);
    void* event = pthread_getspecific(g_event_key);
    if (!event) return;
    pthread_setspecific(g_event_key, nullptr);
    free_event(event);
}

void plume_reset_event(plume_event_t* event) {
    event->ndc_num = 0;
    event->msg[0] = '\0';
    event->msg_len = 0;
    event->line[0] = '\0';
    event->line_len = 0;
    event->owner = nullptr;
    event->version = -1;
    event->type[0] = '\0';
}

int plume_push_ndc(plume_event_t* event, const char* key, const char* value) {
    if (event->ndc_num >= PLUME_NDC_MAX) return -1;
    plume_ndc_t& pair = event->ndc[event->ndc_num++];
    snprintf(pair.key, sizeof(pair.key), "%s", key);
    snprintf(pair.value, sizeof(pair.value), "%s", value);
    return 0;
}

void plume_set_loglength(int n) {
    int length = n > 8 ? n : DEFAULT_LENGTH;
    g_msg_length.store(length);
    g_line_length.store(length);
}

void plume_set_time_format(const char* format) {
    snprintf(g_time_format, sizeof(g_time_format), "%s", format ? format : "");
}

const char* plume_time_format() { return g_time_format; }
