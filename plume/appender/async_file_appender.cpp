#include "async_file_appender.h"

#include <sys/uio.h>

#include <new>
#include <system_error>

#include "plume/plume_event.h"
#include "plume_diag.h"

namespace plumespace {

AsyncFileAppender::~AsyncFileAppender() {
    if (!writer.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(queue.mutex);
        drain_deadline_ = std::chrono::steady_clock::now() + DRAIN_TIME;
        started.store(-1);
        stopping.store(1);
    }
    // The writer writes what is still queued, within the drain time, and ends.
    queue.stop();
    writer.join();
}

int AsyncFileAppender::begin() {
    if (queue.create(QUEUE_SIZE) != 0) return -1;
    try {
        writer = std::thread([this] {
            while (writeData() != 1) {
            }
        });
    } catch (const std::system_error&) {
        return -1;
    }
    return 0;
}

int AsyncFileAppender::open(void* arg) {
    int ret = FileAppender::open(arg);
    if (ret == 0) {
        {
            std::lock_guard<std::mutex> lock(queue.mutex);
            if (started.load() == 0) started.store(1);
        }
        queue.cond.notify_all();
    }
    return ret;
}

int AsyncFileAppender::print(plume_event_t* event) {
    if (!event->line) return -1;
    if (!testMaskBit(event->level)) return 0;
    event->owner = this;
    formatLine(event);
    return queue.push(this, static_cast<uint32_t>(event->time.tv_sec), event->line,
                      static_cast<uint32_t>(event->line_len));
}

int AsyncFileAppender::writeData() {
    {
        // Not open yet: sleep until open or the destruction wakes the queue.
        std::unique_lock<std::mutex> lock(queue.mutex);
        if (started.load() == 0)
            queue.cond.wait_for(lock, std::chrono::seconds(5), [this] { return started.load() != 0; });
        if (started.load() == 0) return 0;
    }
    // Past the drain time the rest is given up: the queue frees it.
    if (stopping.load() && std::chrono::steady_clock::now() > drain_deadline_) return 1;
    int n = queue.timedPop(batch_, BATCH_SIZE, 5);
    if (n == 0) return started.load() == -1 ? 1 : 0;
    ssize_t total = 0;
    for (int i = 0; i < n; ++i) {
        iov_[i].iov_base = batch_[i]->line;
        iov_[i].iov_len = batch_[i]->len;
        total += batch_[i]->len;
    }
    int ret = synced([this, n, total](int f) {
        if (writev(f, iov_, n) == total) return 0;
        PLUME_DIAG("write failed.");
        return -1;
    }, [] { PLUME_DIAG("In [AsyncFileAppender::writeData]:syncid failed."); });
    queue.finished(batch_, n);
    return ret;
}

Appender* AsyncFileAppender::getAppender(plume_device_t& dev) {
    return getOrMake(dev, []() -> FileAppender* { return new (std::nothrow) AsyncFileAppender(); });
}

}  // namespace plumespace
