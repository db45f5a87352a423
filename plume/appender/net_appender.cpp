#include "net_appender.h"

#include <errno.h>
#include <string.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "file_appender.h"
#include "name_mg.h"
#include "plume/plume_event.h"
#include "plume_diag.h"
#include "sendsvr/loghead.h"
#include "sendsvr/net_appender_svr.h"

namespace plumespace {
namespace {

constexpr uint32_t OPEN_BODY_SIZE = 112;
constexpr uint32_t OPEN_REPLY_BODY_SIZE = 12;
constexpr int OPEN_TIMEOUT_MS = 1000;

std::string net_key(const plume_device_t& dev) { return std::string("NET:") + dev.path + "/" + dev.file; }

// Copies text into a field of the open request, cut to leave its last byte 0.
void put_field(unsigned char* field, const char* text) {
    memcpy(field, text, strnlen(text, 31));
}

// The FILE appender of the device's file in the first server's path ("./" when it
// has none); null when the list cannot be parsed or the file not made.
Appender* make_backup(const plume_device_t& dev) {
    std::vector<LogServer> servers(MAX_LOG_SERVERS);
    if (parse_server_list(dev.path, servers.data(), MAX_LOG_SERVERS) < 0) {
        PLUME_DIAG("can't parser host[%s]", dev.path);
        return nullptr;
    }
    std::unique_ptr<plume_device_t> copy(new (std::nothrow) plume_device_t(dev));
    if (!copy) return nullptr;
    snprintf(copy->type, sizeof(copy->type), "%s", "FILE");
    snprintf(copy->path, sizeof(copy->path), "%s", servers[0].path[0] ? servers[0].path : "./");
    Appender* backup = FileAppender::getAppender(*copy);
    if (backup) {
        backup->setLayout(dev.layout);
        backup->is_open.store(dev.open);
    }
    return backup;
}

}  // namespace

int NetAppender::open(void* arg) {
    if (!arg) {
        sender = NetAppenderSvr::lookup(device.path);
        if (!sender || sender->registerAppender(this) != 0) {
            PLUME_DIAG("sorry get server err[%s] or regist appender err", device.path);
            sender = nullptr;
            return -1;
        }
        return 0;
    }
    const LogServer* server = static_cast<const LogServer*>(arg);
    loghead_t head = {};
    head.log_id = LOGHEAD_OPEN_LOG_ID;
    head.command = LOGHEAD_OPEN;
    head.body_len = OPEN_BODY_SIZE;
    unsigned char body[OPEN_BODY_SIZE] = {};
    put_field(body, server->path);
    put_field(body + 32, device.file);
    put_field(body + 64, device.auth);
    put_le32(body + 100, device.compress ? 1 : 0);
    if (loghead_write(server->socket, &head, body, OPEN_BODY_SIZE, nullptr, OPEN_TIMEOUT_MS, LOGHEAD_CHECK_MAGIC) != 0) {
        PLUME_DIAG("open:write netappend fd[%d] err[%s]", server->socket, strerror(errno));
        return -1;
    }
    unsigned char reply[OPEN_REPLY_BODY_SIZE] = {};
    // A reply without its err and handle would give a handle of 0 that the server never gave.
    int got = loghead_read(server->socket, &head, nullptr, 0, reply, sizeof(reply), OPEN_TIMEOUT_MS,
                           LOGHEAD_CHECK_MAGIC);
    if (got == 0 && head.body_len < 8) errno = EBADMSG;
    if (got != 0 || head.body_len < 8) {
        PLUME_DIAG("open:read netappend fd[%d] err[%s]", server->socket, strerror(errno));
        return -1;
    }
    int err = static_cast<int>(get_le32(reply));
    if (err != 0) {
        PLUME_DIAG("open log err[%s %s] errno[%d]", device.auth, device.file, err);
        errno = ECONNREFUSED;  // for the caller's line: the server refused the log
        return -1;
    }
    fd = static_cast<int>(get_le32(reply + 4));
    return 0;
}

int NetAppender::close(void*) {
    fd = -1;
    return 0;
}

int NetAppender::stop(void*) { return sender ? sender->stop() : 0; }

int NetAppender::print(plume_event_t* event) {
    if (!testMaskBit(event->level)) return 0;
    if (!sender) return -1;
    formatLine(event);
    event->owner = this;
    int ret = sender->push(event);
    if (ret != 0 && backup) return backup->print(event);
    return ret;
}

int NetAppender::binprint(const void*, int) {
    PLUME_DIAG("NetAppender::binprint() is not implemented.");
    return 0;
}

Appender* NetAppender::getAppender(plume_device_t& dev) {
    std::string key = net_key(dev);
    NameMg* names = NameMg::getInstance();
    if (Appender* found = static_cast<Appender*>(names->get(NAME_APPENDER, key.c_str()))) return found;
    NetAppender* made = new (std::nothrow) NetAppender();
    if (!made) return nullptr;
    made->copyDevice(dev);
    if (made->open(nullptr) != 0) {
        PLUME_DIAG("sorry failt to open %s", key.c_str());
        delete made;
        return nullptr;
    }
    made->backup = make_backup(dev);
    if (names->set(NAME_APPENDER, key.c_str(), made) != 0) {
        made->sender->unregisterAppender(made);
        delete made;
        return nullptr;
    }
    return made;
}

Appender* NetAppender::tryAppender(plume_device_t& dev) {
    return static_cast<Appender*>(NameMg::getInstance()->get(NAME_APPENDER, net_key(dev).c_str()));
}

}  // namespace plumespace
