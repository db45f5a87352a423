#include "keeper/process_keeper.h"

namespace tendwell {

ProcessKeeper::Process::Process(const std::string& name, const std::string& command)
    : name(name), command(command) {}

ProcessKeeper::Process::Process(const std::string& name, const std::string& start_command,
                                const std::string& check_command, uint32_t check_interval_ms)
    : name(name),
      start_command(start_command),
      check_command(check_command),
      check_interval_ms(check_interval_ms) {}

}  // namespace tendwell
