#include "lodir_curl_library.h"

#include <dlfcn.h>

#include "lodir/lodir_log.h"

namespace lodir {

namespace {

const char kCurlSoname[] = "libcurl.so.4";

// Sets *function to the library's symbol name; false when it has none.
template <typename Function>
bool Resolve(void* library, const char* name, Function* function) {
    *function = reinterpret_cast<Function>(dlsym(library, name));
    return *function != nullptr;
}

bool Load(CurlLibrary* curl) {
    void* library = dlopen(kCurlSoname, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        LODIR_LOG(PLUME_LOG_WARNING, "[lodir_curl_library:23][Load]%s", dlerror());
        return false;
    }
    if (Resolve(library, "curl_global_init", &curl->global_init) &&
        Resolve(library, "curl_global_cleanup", &curl->global_cleanup) &&
        Resolve(library, "curl_easy_init", &curl->easy_init) &&
        Resolve(library, "curl_easy_cleanup", &curl->easy_cleanup) &&
        Resolve(library, "curl_easy_setopt", &curl->easy_setopt) &&
        Resolve(library, "curl_easy_perform", &curl->easy_perform) &&
        Resolve(library, "curl_easy_getinfo", &curl->easy_getinfo) &&
        Resolve(library, "curl_easy_escape", &curl->easy_escape) &&
        Resolve(library, "curl_free", &curl->free)) {
        return true;
    }
    LODIR_LOG(PLUME_LOG_WARNING, "[lodir_curl_library:37][Load]%s", dlerror());
    // Nothing of it is used: it may go again.
    dlclose(library);
    return false;
}

}  // namespace

const CurlLibrary* GetCurlLibrary() {
    static CurlLibrary curl;
    static const bool loaded = Load(&curl);
    return loaded ? &curl : nullptr;
}

}  // namespace lodir
