// The asynchronous file appender: writing threads format and queue their lines, one
// writer thread writes them to the file in batches. It shares the file appender's key,
// file handling and cutting.
#pragma once

#include <sys/uio.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "file_appender.h"
#include "record_queue.h"

namespace plumespace {

class AsyncFileAppender : public FileAppender {
public:
    static constexpr int QUEUE_SIZE = 20480;
    static constexpr int BATCH_SIZE = 1024;
    // How long the destruction may spend writing what is still queued.
    static constexpr std::chrono::seconds DRAIN_TIME{3};

    ~AsyncFileAppender() override;

    int open(void* arg) override;
    // Queues the line; -1 when the queue is full or memory is short (the line is dropped).
    int print(plume_event_t* event) override;

    static Appender* getAppender(plume_device_t& dev);

    // One step of the writer: 0 go on, 1 the writer ends, -1 a batch was lost.
    int writeData();

    RecordQueue queue;
    std::thread writer;
    // 0 before the first open, 1 running, -1 stopping; changed under the queue's mutex.
    std::atomic<int> started{0};
    std::atomic<int> stopping{0};

protected:
    int begin() override;

private:
    std::chrono::steady_clock::time_point drain_deadline_;
    QueuedRecord* batch_[BATCH_SIZE];
    struct iovec iov_[BATCH_SIZE];
};

}  // namespace plumespace
