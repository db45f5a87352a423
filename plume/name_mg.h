// The process-wide registry of the library's long-lived objects, keyed by kind and
// name: one appender per file, one category per name.
#pragma once

#include <mutex>
#include <vector>

#include "xhash.h"

namespace plumespace {

class Appender;

constexpr int NAME_CATEGORY = 1;
constexpr int NAME_APPENDER = 2;
constexpr int NAME_LAYOUT = 3;  // layouts made for configured devices
constexpr int NAME_SENDSVR = 4;
constexpr int NAME_LOGSTAT = 5;

class NameMg {
public:
    static NameMg* getInstance();

    // Makes the table; 0, or -1 when it cannot be made.
    int create();
    // Deletes every registered object, send servers first, and frees the table.
    void destroy();

    void* get(int kind, const char* name);
    // 0 stored, 1 the key is taken (nothing changed), 3 no memory, -1 no table.
    int set(int kind, const char* name, void* object);

    // Calls the stop (or reset) operation of every registered appender.
    void stopAppenders();
    void resetAppenders();
    // Ends the thread of every registered send server.
    void stopSenders();

private:
    // The registered objects of one kind.
    std::vector<void*> objects(int kind);

    struct Entry {
        int kind;
        void* object;
        char* text;  // the key text: keys are equal only when their texts are
    };
    static constexpr int BUCKETS = 10241;

    std::mutex mutex_;
    XHash<Entry> table_;
};

}  // namespace plumespace
