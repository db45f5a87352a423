#include "record_queue.h"

#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <new>

namespace plumespace {
namespace {

// Room for len bytes, in steps of 128, so a record serves later lines of other lengths.
QueuedRecord* make_record(uint32_t len) {
    uint32_t room = (len + 127) & ~127u;
    QueuedRecord* r = static_cast<QueuedRecord*>(malloc(offsetof(QueuedRecord, line) + room));
    if (r) r->room = room;
    return r;
}

}  // namespace

bool RecordRing::create(uint64_t cells) {
    cells_.reset(new (std::nothrow) Cell[cells]);
    if (!cells_) return false;
    for (uint64_t i = 0; i < cells; ++i) cells_[i].seq.store(i, std::memory_order_relaxed);
    mask_ = cells - 1;
    return true;
}

// A cell's sequence tells whether the position it is at now is free to fill (equal to
// the tail) or filled to take (one above the head).
bool RecordRing::put(QueuedRecord* record) {
    uint64_t pos = tail_.load(std::memory_order_relaxed);
    for (;;) {
        Cell& cell = cells_[pos & mask_];
        int64_t dif = static_cast<int64_t>(cell.seq.load(std::memory_order_acquire) - pos);
        if (dif == 0 && tail_.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
            cell.record = record;
            cell.seq.store(pos + 1, std::memory_order_release);
            return true;
        }
        if (dif < 0) return false;
        if (dif > 0) pos = tail_.load(std::memory_order_relaxed);
    }
}

QueuedRecord* RecordRing::take() {
    uint64_t pos = head_.load(std::memory_order_relaxed);
    for (;;) {
        Cell& cell = cells_[pos & mask_];
        int64_t dif = static_cast<int64_t>(cell.seq.load(std::memory_order_acquire) - (pos + 1));
        if (dif == 0 && head_.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
            QueuedRecord* record = cell.record;
            cell.seq.store(pos + mask_ + 1, std::memory_order_release);
            return record;
        }
        if (dif < 0) return nullptr;
        if (dif > 0) pos = head_.load(std::memory_order_relaxed);
    }
}

RecordQueue::~RecordQueue() {
    if (!created_) return;
    for (QueuedRecord* r; (r = queued_.take());) free(r);
    for (QueuedRecord* r; (r = spare_.take());) free(r);
}

int RecordQueue::create(int capacity) {
    if (created_ || capacity < 2) return -1;
    uint64_t cells = 2;
    while (cells < static_cast<uint64_t>(capacity)) cells <<= 1;
    if (!queued_.create(cells) || !spare_.create(SPARE_CELLS)) return -1;
    capacity_ = capacity;
    created_ = true;
    running_.store(true);
    return 0;
}

int RecordQueue::push(Appender* owner, uint32_t time, const char* line, uint32_t len) {
    // The count keeps the queued records within the capacity, below the ring's size.
    if (count_.fetch_add(1) >= capacity_) {
        count_.fetch_sub(1);
        return -1;
    }
    QueuedRecord* r = spare_.take();
    if (r && r->room < len) {
        free(r);
        r = nullptr;
    }
    if (!r && !(r = make_record(len))) {
        count_.fetch_sub(1);
        return -1;
    }
    r->owner = owner;
    r->time = time;
    r->len = len;
    memcpy(r->line, line, len);
    if (!queued_.put(r)) {  // cannot be full while the count is within the capacity
        free(r);
        count_.fetch_sub(1);
        return -1;
    }
    // Either the reader sees the record before it sleeps, or this sees it sleeping.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (waiting_.load()) {
        { std::lock_guard<std::mutex> lock(mutex); }
        cond.notify_one();
    }
    return 0;
}

int RecordQueue::take(QueuedRecord** out, int n) {
    int taken = 0;
    for (QueuedRecord* r; taken < n && (r = queued_.take());) out[taken++] = r;
    taken_.fetch_add(taken);
    count_.fetch_sub(taken);
    return taken;
}

int RecordQueue::timedPop(QueuedRecord** out, int n, int seconds) {
    if (!created_) return 0;
    int taken = take(out, n);
    if (taken > 0 || seconds <= 0 || !running_.load()) return taken;
    std::unique_lock<std::mutex> lock(mutex);
    waiting_.store(true);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    cond.wait_for(lock, std::chrono::seconds(seconds), [&] {
        return (taken = take(out, n)) > 0 || !running_.load();
    });
    waiting_.store(false);
    return taken;
}

void RecordQueue::finished(QueuedRecord** records, int n) {
    for (int i = 0; i < n; ++i)
        if (!spare_.put(records[i])) free(records[i]);
    taken_.fetch_sub(n);
}

int RecordQueue::pending() const { return count_.load() + taken_.load(); }

void RecordQueue::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        running_.store(false);
    }
    cond.notify_all();
}

}  // namespace plumespace
