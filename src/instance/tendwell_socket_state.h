// What stands at the control socket's path, as a client's connect finds it: the
// daemon's look before it makes its socket there, a client's look at a path its
// connect failed on, and the words for a path that holds no socket.
#pragma once

#include <sys/types.h>

#include <string>

namespace tendwell {

enum class SocketState {
    kAbsent,
    // Something else stands there: a regular file, a directory, a link.
    kNotSocket,
    // A socket nobody listens on (its daemon has gone).
    kStale,
    // A socket a live process listens on.
    kListening,
};

// Looks without sending anything. For kListening, *listener (when not null) is the
// pid of the process that listens, or 0 when it cannot be told.
SocketState LookAtSocket(const std::string& path, pid_t* listener = nullptr);

// "PATH is not a socket".
std::string NotSocketText(const std::string& path);

}  // namespace tendwell
