#include "name_mg.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "plume/appender.h"
#include "category.h"
#include "sign.h"

namespace plumespace {
namespace {

constexpr int KEY_SIZE = 2048;

void key_text(char (&key)[KEY_SIZE], int kind, const char* name) { snprintf(key, sizeof(key), "%d:%s", kind, name); }

}  // namespace

NameMg* NameMg::getInstance() {
    static NameMg* instance = new NameMg();
    return instance;
}

int NameMg::create() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (table_.created()) return 0;
    return table_.create(BUCKETS, nkeyhash);
}

void NameMg::destroy() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!table_.created()) return;
    table_.forEach([](const Entry& e) {
        switch (e.kind) {
        case NAME_CATEGORY: delete static_cast<Category*>(e.object); break;
        case NAME_APPENDER: delete static_cast<Appender*>(e.object); break;
        case NAME_LOGSTAT: delete static_cast<LogStat*>(e.object); break;
        default: break;
        }
        free(e.text);
    });
    table_.destroy();
}

void* NameMg::get(int kind, const char* name) {
    char key[KEY_SIZE];
    key_text(key, kind, name);
    Entry found;
    auto same = [&key](const Entry& e) { return strcmp(e.text, key) == 0; };
    return table_.find(sign_f64(key), same, &found) == 0 ? found.object : nullptr;
}

int NameMg::set(int kind, const char* name, void* object) {
    char key[KEY_SIZE];
    key_text(key, kind, name);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!table_.created()) return -1;
    Entry entry{kind, object, strdup(key)};
    if (!entry.text) return 3;
    auto same = [&key](const Entry& e) { return strcmp(e.text, key) == 0; };
    int ret = table_.insert(sign_f64(key), entry, same);
    if (ret != 0) free(entry.text);
    return ret;
}

void NameMg::stopAppenders() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!table_.created()) return;
    table_.forEach([](const Entry& e) {
        if (e.kind == NAME_APPENDER) static_cast<Appender*>(e.object)->stop(nullptr);
    });
}

void NameMg::resetAppenders() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!table_.created()) return;
    table_.forEach([](const Entry& e) {
        if (e.kind == NAME_APPENDER) static_cast<Appender*>(e.object)->reset(nullptr);
    });
}

}  // namespace plumespace
