// The identity file beside the state file: the boot in which the table was saved
// and, for each process the table names by its pid, its start in clock ticks since
// boot (field 22 of /proc/PID/stat). No step of the wall clock changes
// either, while the state file's stamp, the modification time of /proc/PID, can
// move with one; and the state file's bytes stay as older versions and other
// readers know them.
//
// Text: the line "tendwell identity 1", the line "boot " followed by the boot id,
// then one line per process: its pid, start ticks and name's length in bytes, each
// followed by one blank, then the name's bytes and a newline.
//
// It is written before the state file replaces the old one, and a line leaves it
// only when the record no longer names that process, which happens only once the
// process has ended: so whichever of the two state files is in place after a
// crash, every process it names that still runs has its line.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <utility>

#include "keeper/process_keeper.h"

namespace tendwell {

// Follows the state file's path to make the identity file's.
constexpr char kIdentitySuffix[] = ".ident";

// Start ticks by name and pid.
using StartTable = std::map<std::pair<std::string, pid_t>, uint64_t>;

// This boot's id, or "" when it cannot be read.
std::string ReadBootId();

// Whether the keeper knows a record's process by its pid (pid mode, and a record
// without commands), rather than by a check command.
bool KnownByPid(const ProcessKeeper::Process& process);

// The text of the identity file for table, saved in boot: a line for each record
// known by its pid that names one.
std::string IdentityText(const std::string& boot,
                         const std::map<std::string, ProcessKeeper::Process>& table);

// Reads the identity file at path: 1 with its boot and starts, 0 when there is no
// such file, -1 with the reason when it cannot be used (not a file the keeper's
// user alone can have written, too large or damaged).
int ReadIdentityFile(const std::string& path, std::string* boot, StartTable* starts,
                     std::string* reason);

}  // namespace tendwell
