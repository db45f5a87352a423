#include "net_appender_svr.h"

#include <errno.h>
#include <poll.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "name_mg.h"
#include "plume/appender.h"
#include "plume/plume_event.h"
#include "plume_diag.h"
#include "zulib/zu_net.h"

namespace plumespace {
namespace {

std::mutex g_lookup_mutex;

// Writable within the send time-out, and not hung up: a server sends nothing unasked,
// so a hang-up seen before a send means the send would be lost.
bool usable(int sock) {
    if (zu_swriteable_ms(sock, NetAppenderSvr::SEND_TIMEOUT_MS) <= 0) return false;
    struct pollfd p = {sock, POLLRDHUP, 0};
    if (poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
        errno = EPIPE;
        return false;
    }
    return true;
}

bool earlier(const QueuedRecord* a, const QueuedRecord* b) {
    if (a->owner != b->owner) return std::less<Appender*>()(a->owner, b->owner);
    return a->time < b->time;
}

}  // namespace

NetAppenderSvr::~NetAppenderSvr() { stop(); }

int NetAppenderSvr::parseServers(const char* list_text) {
    int n = parse_server_list(list_text, servers, MAX_LOG_SERVERS);
    if (n < 0) return -1;
    server_num = n;
    return 0;
}

int NetAppenderSvr::push(plume_event_t* event) {
    return queue.push(event->owner, static_cast<uint32_t>(event->time.tv_sec), event->line,
                      static_cast<uint32_t>(event->line_len));
}

int NetAppenderSvr::work() {
    int n = queue.timedPop(batch, BATCH_SIZE, 5);
    if (n == 0) return 0;
    // Stable: the lines of one appender within one second keep their order.
    std::stable_sort(batch, batch + n, earlier);
    bool sent = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (selectServer() == 0) {
            sent = sendBatch(n) == 0;
            if (!sent) {
                closeServer(current);
                current = -1;
            }
        }
    }
    if (!sent) toBackups(n);
    freeBatch(n);
    return 0;
}

bool NetAppenderSvr::openAppenders(int i) {
    LogServer& s = servers[i];
    int n;
    {
        std::lock_guard<std::mutex> lock(senders_mutex);
        n = sender_num;
    }
    for (int k = 0; k < n; ++k) {
        Sender& sender = senders[k];
        if (sender.conn == s.conn_id) continue;
        if (sender.appender->open(&s) != 0) {
            PLUME_DIAG("can't open %s server", list);
            return false;
        }
        sender.conn = s.conn_id;
    }
    return true;
}

int NetAppenderSvr::selectServer() {
    int i = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        for (i = 0; i < server_num; ++i) {
            LogServer& s = servers[i];
            if (!s.connected) continue;
            if (usable(s.socket) && openAppenders(i)) {
                if (current >= 0 && current != i) closeServer(current);
                current = i;
                return 0;
            }
            if (i == current) {
                PLUME_DIAG("invalid sock[%d] %s", s.socket, strerror(errno));
                current = -1;
            } else {
                PLUME_DIAG("invalid sock[%d] or reopen err %s", s.socket, strerror(errno));
            }
            closeServer(i);
        }
        if (attempt == 0 && reconnect(1000) != 0) break;
    }
    PLUME_DIAG("can't find valid sd _now[%d] i[%d]", current, i);
    return -1;
}

int NetAppenderSvr::sendBatch(int n) {
    LogServer& s = servers[current];
    int count = 0;
    iov[count++] = {head_wire_, LOGHEAD_SIZE};
    uint32_t body_len = 0;
    QueuedRecord* lead = nullptr;  // first record of the run being built
    uint32_t run_len = 0;
    auto seal = [&lead, &run_len] {
        if (!lead) return;
        put_le32(lead->subhead, static_cast<uint32_t>(lead->owner->fd));
        put_le32(lead->subhead + 4, lead->time);
        put_le32(lead->subhead + 8, run_len);
    };
    for (int i = 0; i < n; ++i) {
        QueuedRecord* r = batch[i];
        if (r->owner->fd == -1)
            PLUME_DIAG("debug- faint _id=%d handle=%d when senddata at i[%d]", current, r->owner->fd, i);
        if (lead && r->owner == lead->owner) {
            iov[count++] = {r->line, r->len};
            run_len += r->len;
        } else {
            seal();
            lead = r;
            run_len = r->len;
            iov[count++] = {r->subhead, QUEUED_SUBHEAD_SIZE + r->len};
            body_len += QUEUED_SUBHEAD_SIZE;
        }
        body_len += r->len;
    }
    seal();
    head.magic = LOGHEAD_MAGIC;
    head.command = LOGHEAD_DATA;
    head.body_len = body_len;
    loghead_encode(head, head_wire_);
    ssize_t ret = zu_swritevo_ms(s.socket, iov, count, SEND_TIMEOUT_MS);
    if (ret >= static_cast<ssize_t>(body_len) + static_cast<ssize_t>(LOGHEAD_SIZE)) return 0;
    PLUME_DIAG("send err %s sock[%d] now[%d] svr{[%d][%d]}, ret[%d]", strerror(errno), s.socket, current, s.socket,
               s.connected, static_cast<int>(ret));
    return -1;
}

void NetAppenderSvr::toBackups(int n) {
    for (int i = 0; i < n; ++i) {
        QueuedRecord* r = batch[i];
        if (Appender* backup = r->owner->backup) backup->binprint(r->line, static_cast<int>(r->len));
    }
}

SendSvr* NetAppenderSvr::lookup(const char* list_text) {
    std::lock_guard<std::mutex> lock(g_lookup_mutex);
    std::vector<LogServer> parsed(MAX_LOG_SERVERS);
    int n = parse_server_list(list_text, parsed.data(), MAX_LOG_SERVERS);
    if (n < 0) {
        PLUME_DIAG("parser %s err", list_text);
        return nullptr;
    }
    std::string key;
    for (int i = 0; i < n; ++i) key += std::string(parsed[i].host) + ":" + std::to_string(parsed[i].port);
    NameMg* names = NameMg::getInstance();
    if (SendSvr* found = static_cast<SendSvr*>(names->get(NAME_SENDSVR, key.c_str()))) return found;
    NetAppenderSvr* made = new (std::nothrow) NetAppenderSvr();
    if (!made) return nullptr;
    if (made->start(list_text, true) != 0) {
        PLUME_DIAG("crete server err[%s]", list_text);
        delete made;
        return nullptr;
    }
    if (names->set(NAME_SENDSVR, key.c_str(), made) != 0) {
        PLUME_DIAG("set server err[%s]", list_text);
        delete made;
        return nullptr;
    }
    return made;
}

}  // namespace plumespace
