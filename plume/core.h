// Start and close of the library core: the name registry and the default level record.
#pragma once

#include <mutex>

namespace plumespace {

struct LogStat;

// Guards core start and close and level-name registration.
std::mutex& core_mutex();

int core_init();
// Deletes every registered object and the registry; clears the default level record.
int core_close();
bool core_initialised();
// The default level record; null while the core is closed.
LogStat* default_logstat();

}  // namespace plumespace
