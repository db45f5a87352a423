// The bounded queue of formatted lines between the writing threads and one background
// thread: the asynchronous file appender's writer or a network send server. Writing
// threads take no lock: records pass through rings of cells claimed with atomic steps,
// the reader's finished records come back to them for reuse, and a lock is taken only
// to wake the reader when it sleeps on an empty queue.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace plumespace {

class Appender;

constexpr size_t QUEUED_SUBHEAD_SIZE = 12;

// One queued line. subhead is room for the network log's sub-head, directly followed by
// the line's bytes, so a run of lines goes out from its first record without a copy;
// the record's own fields stay as queued, for the backup of a send that failed.
struct QueuedRecord {
    Appender* owner;
    uint32_t room;  // bytes the line may take
    uint32_t time;  // seconds of the record
    uint32_t len;
    unsigned char subhead[QUEUED_SUBHEAD_SIZE];
    char line[];
};

static_assert(offsetof(QueuedRecord, line) == offsetof(QueuedRecord, subhead) + QUEUED_SUBHEAD_SIZE,
              "the sub-head and the line are one run of bytes");

// A bounded ring of records that any thread may put into and take from.
class RecordRing {
public:
    // cells: a power of two; false when memory is short.
    bool create(uint64_t cells);
    bool put(QueuedRecord* record);
    // Null when empty.
    QueuedRecord* take();

private:
    struct Cell {
        std::atomic<uint64_t> seq;  // its position while free, position + 1 once filled
        QueuedRecord* record;
    };
    std::unique_ptr<Cell[]> cells_;
    uint64_t mask_ = 0;
    alignas(64) std::atomic<uint64_t> tail_{0};
    alignas(64) std::atomic<uint64_t> head_{0};
};

class RecordQueue {
public:
    RecordQueue() = default;
    ~RecordQueue();
    RecordQueue(const RecordQueue&) = delete;
    RecordQueue& operator=(const RecordQueue&) = delete;

    // 0; -1 when made already, capacity < 2 or memory is short.
    int create(int capacity);
    // Queues a copy of the line and wakes the reader; -1 when the queue is full or
    // memory is short. Any thread.
    int push(Appender* owner, uint32_t time, const char* line, uint32_t len);
    // Waits up to seconds while the queue is empty and running, then takes up to n
    // records, oldest first. The records taken count as pending until finished. The
    // reader's thread only.
    int timedPop(QueuedRecord** out, int n, int seconds);
    // Gives back n records taken: kept for later lines, or freed.
    void finished(QueuedRecord** records, int n);
    // Records queued or taken and not yet finished.
    int pending() const;
    // Stops the waits: a timed pop returns at once from now on.
    void stop();

    // The reader sleeps on cond under mutex; it may wait for state of its own there too.
    std::mutex mutex;
    std::condition_variable cond;

private:
    static constexpr uint64_t SPARE_CELLS = 4096;

    int take(QueuedRecord** out, int n);

    RecordRing queued_;
    RecordRing spare_;
    int capacity_ = 0;
    bool created_ = false;
    alignas(64) std::atomic<int> count_{0};  // records queued or about to be
    alignas(64) std::atomic<int> taken_{0};
    std::atomic<bool> running_{false};
    std::atomic<bool> waiting_{false};
};

}  // namespace plumespace
