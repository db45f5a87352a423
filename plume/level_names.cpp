#include "level_names.h"

#include <stdio.h>
#include <string.h>

#include <atomic>
#include <mutex>

#include "core.h"

namespace plumespace {
namespace {

char g_names[LEVEL_NAME_NUM][LEVEL_NAME_SIZE] = {
    "", "FATAL", "WARNING", "", "NOTICE", "", "", "", "TRACE", "", "", "", "", "", "", "", "DEBUG",
};
// Next free id. Readers take no lock: a name is stored before the count that shows it.
std::atomic<int> g_count{32};

}  // namespace

int get_level_id(const char* name) {
    if (!name) return 0;
    int count = g_count.load(std::memory_order_acquire);
    for (int id = 0; id < count; ++id)
        if (strcmp(g_names[id], name) == 0) return id;
    return 0;
}

int register_level_name(const char* name) {
    if (!name || !name[0]) return 0;
    char cut[LEVEL_NAME_SIZE];
    snprintf(cut, sizeof(cut), "%s", name);
    std::lock_guard<std::mutex> lock(core_mutex());
    if (int id = get_level_id(cut)) return id;
    int count = g_count.load(std::memory_order_relaxed);
    if (count >= LEVEL_NAME_NUM) return 0;
    memcpy(g_names[count], cut, sizeof(cut));
    g_count.store(count + 1, std::memory_order_release);
    return count;
}

const char* level_name(int level) { return g_names[level & 63]; }

}  // namespace plumespace
