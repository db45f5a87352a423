// A send server: one thread per distinct server list that takes the lines its appenders
// queue, in batches, and sends them over one connection to the first usable server of
// the list.
#pragma once

#include <stdint.h>
#include <sys/uio.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "loghead.h"
#include "record_queue.h"
#include "server_list.h"

struct plume_event_t;

namespace plumespace {

class Appender;

class SendSvr {
public:
    static constexpr int QUEUE_SIZE = 20480;
    static constexpr int BATCH_SIZE = 640;
    static constexpr int MAX_SENDERS = 1024;

    // A served appender and the connection its remote log is open on (0: none).
    struct Sender {
        Appender* appender;
        uint64_t conn;
    };

    SendSvr();
    virtual ~SendSvr();
    SendSvr(const SendSvr&) = delete;
    SendSvr& operator=(const SendSvr&) = delete;

    // Queues the event's line for its owner: 0, or -1 when the queue is full or memory
    // is short.
    virtual int push(plume_event_t* event) = 0;
    // Parses the list; with check, tries a first connection and joins the checker; then
    // makes the queue and starts the thread. 0 or -1.
    virtual int start(const char* list_text, bool check);
    // One step of the thread.
    virtual int work() = 0;
    // Gives the first n records of the batch back to the queue.
    virtual void freeBatch(int n);
    // Ends the thread; what is still queued stays until destruction.
    virtual int stop();
    virtual int parseServers(const char* list_text) = 0;

    // 0, or -1 when MAX_SENDERS are served already.
    int registerAppender(Appender* appender);
    void unregisterAppender(Appender* appender);

    // With mutex held: the first connected server of the list ends the walk with 0;
    // the others before it are connected anew within ms each. -1 when none connects.
    int connectWalk(int ms);
    // With mutex held: 0 when a server is connected, else a connect walk.
    int reconnect(int ms);
    // Lines queued or being sent.
    int pending();

    std::mutex mutex;  // the server table
    RecordQueue queue;
    QueuedRecord* batch[BATCH_SIZE];
    LogServer servers[MAX_LOG_SERVERS];
    int server_num = 0;
    char list[1024];
    // Appended under senders_mutex; removed only with mutex held too, so the thread
    // reads the entries below a count it took under senders_mutex while it holds mutex.
    std::mutex senders_mutex;
    Sender senders[MAX_SENDERS];
    int sender_num = 0;
    loghead_t head;
    std::atomic<int> running{0};
    std::thread thread;
    int current = -1;  // index of the server in use, -1 none
    struct iovec iov[BATCH_SIZE + 1];

protected:
    // Closes server i's socket; it is no longer connected.
    void closeServer(int i);

private:
    void run();
    uint64_t next_conn_id_ = 1;
};

}  // namespace plumespace
