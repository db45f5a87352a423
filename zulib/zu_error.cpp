#include "zulib/zu_error.h"

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

constexpr size_t TEXT_SIZE = 1024;

const char* const TEXTS[] = {
    "CALL SUCCESS",
    "CALL ZU_GETERR(INT ERRNO) TO FIND DETAIL",
    "ALLOC MEMORY FAIL",
    "MEMORY SEGMENT",
    "READ ERR",
    "WRITE ERR",
    "INVALID FILE[NET] HANDLE",
    "NET CONNECT FAIL",
    "INVALID INPUT PARAM",
    "OPEN FILE ERR",
};
constexpr int TEXT_COUNT = sizeof(TEXTS) / sizeof(TEXTS[0]);

pthread_once_t g_once = PTHREAD_ONCE_INIT;
pthread_key_t g_number_key;
pthread_key_t g_text_key;
bool g_keys_made = false;  // written once under g_once

// Thread-specific values are not destroyed for the thread that calls exit.
void free_exiting_thread() {
    free(pthread_getspecific(g_number_key));
    pthread_setspecific(g_number_key, nullptr);
    free(pthread_getspecific(g_text_key));
    pthread_setspecific(g_text_key, nullptr);
}

void make_keys() {
    if (pthread_key_create(&g_number_key, free) != 0) return;
    if (pthread_key_create(&g_text_key, free) != 0) {
        pthread_key_delete(g_number_key);
        return;
    }
    g_keys_made = true;
    atexit(free_exiting_thread);
}

// The calling thread's zeroed storage under key, allocated on first use; null when it
// cannot be had.
void* own(const pthread_key_t& key, size_t size) {
    pthread_once(&g_once, make_keys);
    if (!g_keys_made) return nullptr;
    void* p = pthread_getspecific(key);
    if (p) return p;
    p = calloc(1, size);
    if (p && pthread_setspecific(key, p) != 0) {
        free(p);
        p = nullptr;
    }
    return p;
}

int* own_number() { return static_cast<int*>(own(g_number_key, sizeof(int))); }
char* own_text() { return static_cast<char*>(own(g_text_key, TEXT_SIZE)); }

}  // namespace

int zu_geterrno() {
    int* n = own_number();
    return n ? *n : 0;
}

int zu_seterrno(int err) {
    int* n = own_number();
    if (!n) return -1;
    *n = err;
    return 0;
}

const char* zu_geterrstr(int err) {
    if (err < 0 || err >= TEXT_COUNT) return "INVALID ERRNO";
    if (err != ZU_ERR_DETAIL) return TEXTS[err];
    const char* text = own_text();
    return text ? text : "";
}

int zu_seterrtext(const char* fmt, ...) {
    char* text = own_text();
    if (!text) return -1;
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, TEXT_SIZE, fmt, args);
    va_end(args);
    return 0;
}
