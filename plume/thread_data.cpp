#include "thread_data.h"

#include <pthread.h>
#include <stdio.h>

#include <atomic>
#include <new>

#include "plume/plume_event.h"
#include "category.h"

namespace {

char g_procname[256] = "Default";
std::atomic<unsigned long> g_generation{1};

pthread_key_t g_handle_key;
pthread_once_t g_handle_once = PTHREAD_ONCE_INIT;

void free_handle(void* p) { delete static_cast<plume_handle_t*>(p); }

void make_handle_key() { pthread_key_create(&g_handle_key, free_handle); }

void take_procname(plume_event_t* event) { snprintf(event->procname, sizeof(event->procname), "%.63s", g_procname); }

}  // namespace

void plume_set_procname(const char* procname) {
    if (procname) snprintf(g_procname, sizeof(g_procname), "%s", procname);
}

plume_handle_t* plume_get_thread_data() {
    pthread_once(&g_handle_once, make_handle_key);
    plume_handle_t* h = static_cast<plume_handle_t*>(pthread_getspecific(g_handle_key));
    unsigned long generation = g_generation.load();
    if (h && h->generation == generation) return h;
    plume_event_t* event = plume_get_thread_event();
    if (!event) return nullptr;
    if (!h) {
        h = new (std::nothrow) plume_handle_t();
        if (!h) return nullptr;
        if (pthread_setspecific(g_handle_key, h) != 0) {
            delete h;
            return nullptr;
        }
    }
    // The category of an old generation was freed with the library.
    h->category = nullptr;
    h->opened = 0;
    h->event = event;
    h->generation = generation;
    take_procname(event);
    return h;
}

void plume_attach_handle(plume_handle_t* handle, plumespace::Category* category) {
    handle->category = category;
    category->event = handle->event;
    take_procname(handle->event);
}

void plume_end_generation() {
    g_generation.fetch_add(1);
    pthread_once(&g_handle_once, make_handle_key);
    if (void* h = pthread_getspecific(g_handle_key)) {
        pthread_setspecific(g_handle_key, nullptr);
        free_handle(h);
    }
    plume_free_thread_event();
}
