#include "instance/tendwell_socket_owner.h"

#include <dirent.h>
#include <errno.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "instance/tendwell_proc_rows.h"

namespace tendwell {

namespace {

// The stream socket bound to a name, as one of the kernel's tables shows it.
struct Bound {
    bool found = false;
    ino_t ino = 0;
    // Only the diagnostics tell it.
    bool uid_known = false;
    uid_t uid = static_cast<uid_t>(-1);
};

// The socket in one answer of the diagnostics, when it is a stream socket bound
// to wanted (the name with its leading NUL).
Bound BoundIn(const struct nlmsghdr* header, const std::string& wanted) {
    Bound seen;
    const auto* message = static_cast<const struct unix_diag_msg*>(NLMSG_DATA(header));
    if (message->udiag_type != SOCK_STREAM) return seen;
    int left = static_cast<int>(header->nlmsg_len - NLMSG_LENGTH(sizeof(*message)));
    bool named = false;
    for (auto* attr = reinterpret_cast<const struct rtattr*>(message + 1); RTA_OK(attr, left);
         attr = RTA_NEXT(attr, left)) {
        const char* data = static_cast<const char*>(RTA_DATA(attr));
        if (attr->rta_type == UNIX_DIAG_NAME) {
            named = RTA_PAYLOAD(attr) == wanted.size() &&
                    memcmp(data, wanted.data(), wanted.size()) == 0;
        } else if (attr->rta_type == UNIX_DIAG_UID && RTA_PAYLOAD(attr) >= sizeof(uint32_t)) {
            uint32_t uid;
            memcpy(&uid, data, sizeof(uid));
            seen.uid_known = true;
            seen.uid = uid;
        }
    }
    seen.found = named;
    seen.ino = message->udiag_ino;
    return seen;
}

// Asks the socket diagnostics for every Unix socket with its name and user; false
// with errno when they cannot be asked.
bool AskDiagnostics(const std::string& name, Bound* bound) {
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return false;
    struct {
        struct nlmsghdr header;
        struct unix_diag_req request;
    } ask;
    memset(&ask, 0, sizeof(ask));
    ask.header.nlmsg_len = sizeof(ask);
    ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    ask.request.sdiag_family = AF_UNIX;
    ask.request.udiag_states = ~0U;
    ask.request.udiag_show = UDIAG_SHOW_NAME | UDIAG_SHOW_UID;
    int error = EPROTO;
    bool done = false;
    if (send(fd, &ask, sizeof(ask), 0) == static_cast<ssize_t>(sizeof(ask))) {
        const std::string wanted = std::string(1, '\0') + name;
        alignas(struct nlmsghdr) char buffer[32768];
        while (!done) {
            const ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                if (got < 0) error = errno;
                break;
            }
            int left = static_cast<int>(got);
            for (auto* header = reinterpret_cast<struct nlmsghdr*>(buffer); NLMSG_OK(header, left);
                 header = NLMSG_NEXT(header, left)) {
                if (header->nlmsg_type == NLMSG_DONE) {
                    done = true;
                    break;
                }
                if (header->nlmsg_type == NLMSG_ERROR) {
                    const auto* failure = static_cast<const struct nlmsgerr*>(NLMSG_DATA(header));
                    if (failure->error < 0) error = -failure->error;
                    break;
                }
                const Bound seen = BoundIn(header, wanted);
                if (seen.found) *bound = seen;
            }
            if (!done && left > 0) break;
        }
    } else {
        error = errno;
    }
    close(fd);
    if (!done) errno = error;
    return done;
}

// The socket bound to the name as /proc/net/unix shows it, which gives no user:
// "NUM: REFS PROTOCOL FLAGS TYPE STATE INODE PATH", "@" standing for the leading
// NUL of an abstract name. False when it cannot be read.
bool ReadSocketTable(const std::string& name, Bound* bound) {
    const std::string wanted = "@" + name;
    return ReadProcRows("/proc/net/unix", 8, [&](const char* const* words) {
        if (words[7] != nullptr && wanted == words[7] &&
            strtoul(words[4], nullptr, 16) == SOCK_STREAM) {
            bound->found = true;
            bound->ino = strtoul(words[6], nullptr, 10);
        }
    });
}

// A process of user uid that has the socket ino open: its descriptor links to
// "socket:[INO]". 0 when none can be seen.
pid_t FindSocketHolder(ino_t ino, uid_t uid) {
    const std::string target = "socket:[" + std::to_string(ino) + "]";
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return 0;
    pid_t holder = 0;
    while (holder == 0) {
        const struct dirent* entry = readdir(proc);
        if (entry == nullptr) break;
        const pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
        const std::string dir = std::string("/proc/") + entry->d_name;
        struct stat st;
        if (pid <= 0 || stat(dir.c_str(), &st) != 0 || st.st_uid != uid) continue;
        DIR* fds = opendir((dir + "/fd").c_str());
        if (fds == nullptr) continue;
        while (const struct dirent* fd = readdir(fds)) {
            char link[64];
            const ssize_t len =
                readlink((dir + "/fd/" + fd->d_name).c_str(), link, sizeof(link) - 1);
            if (len > 0 && target.compare(0, std::string::npos, link, len) == 0) {
                holder = pid;
                break;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    return holder;
}

}  // namespace

NameOwner FindNameOwner(const std::string& name) {
    NameOwner owner;
    Bound bound;
    if (!AskDiagnostics(name, &bound)) {
        const int error = errno;
        bound = Bound();
        if (!ReadSocketTable(name, &bound)) {
            owner.why = std::string("socket diagnostics: ") + strerror(error) +
                        "; /proc/net/unix: " + strerror(errno);
            return owner;
        }
    }
    if (!bound.found) {
        owner.kind = NameOwner::kNone;
        return owner;
    }
    // Without the diagnostics' word only a process of this user that has the
    // socket open tells whose it is.
    owner.pid = FindSocketHolder(bound.ino, bound.uid_known ? bound.uid : geteuid());
    if (!bound.uid_known && owner.pid == 0) {
        owner.why = "the user of the socket bound to " + name + " cannot be told";
        return owner;
    }
    owner.kind = NameOwner::kBound;
    owner.uid = bound.uid_known ? bound.uid : geteuid();
    return owner;
}

}  // namespace tendwell
