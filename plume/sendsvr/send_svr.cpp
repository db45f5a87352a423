#include "send_svr.h"

#include <errno.h>
#include <string.h>

#include <system_error>

#include "check_svr.h"
#include "plume/plume.h"
#include "plume_diag.h"
#include "zulib/zu_net.h"

namespace plumespace {

SendSvr::SendSvr() {
    memset(&head, 0, sizeof(head));
    list[0] = '\0';
    for (LogServer& s : servers) s.socket = -1;
}

SendSvr::~SendSvr() {
    stop();
    CheckSvr::forget(this);
    for (int i = 0; i < server_num; ++i) closeServer(i);
}

int SendSvr::start(const char* list_text, bool check) {
    snprintf(list, sizeof(list), "%s", list_text);
    if (parseServers(list) != 0) {
        PLUME_DIAG("parser %s err", list);
        return -1;
    }
    if (check) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (connectWalk(200) != 0) PLUME_DIAG("can't find valid server");
        }
        CheckSvr* checker = CheckSvr::getInstance();
        if (!checker || checker->add(this) != 0) return -1;
    }
    if (queue.create(QUEUE_SIZE) != 0) {
        PLUME_DIAG("create queue error");
        return -1;
    }
    running.store(1);
    try {
        thread = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        running.store(0);
        PLUME_DIAG("Failed to create new thread for SendSvr [%s]", list);
        return -1;
    }
    return 0;
}

void SendSvr::run() {
    while (running.load()) work();
    // A failure line written from this thread opened a handle of its own.
    if (plume_get_open_state() == PLUME_STATE_PLUME) plume_closelog_r();
}

void SendSvr::freeBatch(int n) { queue.finished(batch, n); }

int SendSvr::stop() {
    running.store(0);
    queue.stop();
    if (thread.joinable()) thread.join();
    return 0;
}

int SendSvr::registerAppender(Appender* appender) {
    std::lock_guard<std::mutex> lock(senders_mutex);
    for (int i = 0; i < sender_num; ++i)
        if (senders[i].appender == appender) return 0;
    if (sender_num >= MAX_SENDERS) return -1;
    senders[sender_num++] = {appender, 0};
    return 0;
}

void SendSvr::unregisterAppender(Appender* appender) {
    std::lock_guard<std::mutex> lock(mutex);
    std::lock_guard<std::mutex> senders_lock(senders_mutex);
    int kept = 0;
    for (int i = 0; i < sender_num; ++i)
        if (senders[i].appender != appender) senders[kept++] = senders[i];
    sender_num = kept;
}

int SendSvr::connectWalk(int ms) {
    for (int i = 0; i < server_num; ++i) {
        LogServer& s = servers[i];
        if (s.connected) return 0;
        closeServer(i);
        s.socket = zu_tcpconnecto_ms(s.host, s.port, ms);
        if (s.socket >= 0) {
            s.connected = 1;
            s.conn_id = next_conn_id_++;
            return 0;
        }
        PLUME_DIAG("connect[%d] %s:%d err[%s]", i, s.host, s.port, strerror(errno));
    }
    return -1;
}

int SendSvr::reconnect(int ms) {
    for (int i = 0; i < server_num; ++i)
        if (servers[i].connected) return 0;
    return connectWalk(ms);
}

int SendSvr::pending() { return queue.pending(); }

void SendSvr::closeServer(int i) {
    LogServer& s = servers[i];
    if (s.socket >= 0) zu_sclose(s.socket);
    s.socket = -1;
    s.connected = 0;
}

}  // namespace plumespace
