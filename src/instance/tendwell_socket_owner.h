// Who holds a name in the abstract namespace, as the kernel records the socket
// bound to it. A connection tells its holder (SO_PEERCRED) only while the
// holder listens and has room in its queue; the kernel's record tells it
// whatever the holder does: the socket diagnostics (sock_diag) give the user that
// made the socket, which no other user can forge, and the process that has it
// open is found among that user's processes by the socket's inode.
#pragma once

#include <sys/types.h>

#include <string>

namespace tendwell {

struct NameOwner {
    enum Kind {
        // No stream socket is bound to the name.
        kNone,
        kBound,
        // Neither the diagnostics nor /proc/net/unix can be read, or only the
        // latter can and no process of this user has the socket open: its
        // user is unknown. why says so.
        kUnknown,
    };
    Kind kind = kUnknown;
    // The socket's user, for kBound.
    uid_t uid = static_cast<uid_t>(-1);
    // A process of that user that has the socket open; 0 when none can be seen.
    pid_t pid = 0;
    std::string why;
};

// The owner of the stream socket bound to the abstract name (without its leading
// NUL).
NameOwner FindNameOwner(const std::string& name);

}  // namespace tendwell
