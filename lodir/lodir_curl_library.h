// libcurl, loaded when a naming lookup first needs it. Linked, it would make
// every command load it and its thirty-odd libraries, though only a naming
// name is ever looked up over HTTP.
#pragma once

#include <curl/curl.h>

namespace lodir {

// The few libcurl functions the HTTP client calls.
struct CurlLibrary {
    CURLcode (*global_init)(long flags);
    void (*global_cleanup)();
    CURL* (*easy_init)();
    void (*easy_cleanup)(CURL* handle);
    CURLcode (*easy_setopt)(CURL* handle, CURLoption option, ...);
    CURLcode (*easy_perform)(CURL* handle);
    CURLcode (*easy_getinfo)(CURL* handle, CURLINFO info, ...);
    char* (*easy_escape)(CURL* handle, const char* text, int length);
    void (*free)(void* p);
};

// The loaded functions, or null when libcurl or one of them cannot be loaded.
// Loaded on the first call, from any thread, and never unloaded.
const CurlLibrary* GetCurlLibrary();

}  // namespace lodir
