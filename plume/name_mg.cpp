#include "name_mg.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "plume/appender.h"
#include "plume/layout.h"
#include "category.h"
#include "sendsvr/send_svr.h"
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
    // The objects are deleted outside the mutex: a send server's or writer's thread
    // being joined may still be making a category.
    std::vector<Entry> entries;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!table_.created()) return;
        table_.forEach([&entries](const Entry& e) { entries.push_back(e); });
        table_.destroy();
    }
    // Send servers first: their threads still print through the appenders.
    for (const Entry& e : entries)
        if (e.kind == NAME_SENDSVR) delete static_cast<SendSvr*>(e.object);
    for (const Entry& e : entries) {
        switch (e.kind) {
        case NAME_CATEGORY: delete static_cast<Category*>(e.object); break;
        case NAME_APPENDER: delete static_cast<Appender*>(e.object); break;
        case NAME_LAYOUT: delete static_cast<Layout*>(e.object); break;
        case NAME_LOGSTAT: delete static_cast<LogStat*>(e.object); break;
        default: break;
        }
        free(e.text);
    }
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

std::vector<void*> NameMg::objects(int kind) {
    std::vector<void*> out;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!table_.created()) return out;
    table_.forEach([&out, kind](const Entry& e) {
        if (e.kind == kind) out.push_back(e.object);
    });
    return out;
}

// These call outside the mutex, as a stop joins a thread that may be making a category.
void NameMg::stopAppenders() {
    for (void* a : objects(NAME_APPENDER)) static_cast<Appender*>(a)->stop(nullptr);
}

void NameMg::resetAppenders() {
    for (void* a : objects(NAME_APPENDER)) static_cast<Appender*>(a)->reset(nullptr);
}

void NameMg::stopSenders() {
    for (void* s : objects(NAME_SENDSVR)) static_cast<SendSvr*>(s)->stop();
}

}  // namespace plumespace
