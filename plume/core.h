// Start and close of the library core: the name registry and the default level record.
#pragma once

#include <mutex>

namespace plumespace {

struct LogStat;

// Guards core start and close and level-name registration.
std::mutex& core_mutex();

int core_init();
// Waits up to wait_ms (-1: without limit) for the network send servers to send what they
// hold, then lets the server checker go.
int core_stop_senders(int wait_ms);
// Lets the server checker go, deletes every registered object and the registry; clears
// the default level record.
int core_close();
bool core_initialised();
// The default level record; null while the core is closed.
LogStat* default_logstat();

}  // namespace plumespace
