// The road on which "start" of all tendlets turns the invoking process into the
// daemon: working directory, the instance's claim, configuration check, process
// title, start-up command, log, detaching while the foreground waits for the
// tendlets, the lock, the daemon frame and the shut-down command.
#pragma once

#include <stdint.h>

#include <string>

namespace tendwell {

// Shown by -v and in the daemon's process title.
constexpr char kVersion[] = "1.0.3";

// What StartDaemon returns when another process holds the instance's claim: it
// has touched nothing (but the working directory, which the caller sets back),
// and the start goes to the daemon that holds it. No exit status.
constexpr int kClaimedElsewhere = -2;

// Runs the whole road for the loaded g_conf; change_dir is the -c directory
// (empty when not given), *start_dir a descriptor of the directory the start was
// typed in, which it closes (and sets to -1) once this process is to be the
// daemon. Returns the process's exit status, or kClaimedElsewhere, or ends the
// process itself where the failure must skip the exit handlers.
int StartDaemon(const std::string& change_dir, int* start_dir);

// Forks the daemon. Returns in the daemon (0, or -1 to -4 for a failed detaching
// step) and, when fork fails, in the invoking process (-1). The foreground
// process waits up to attempts rounds for the daemon and its tendlets, then ends.
int InitDaemon(uint32_t attempts);

// True when the daemon on socket_path answers a status query and every tendlet
// is RUNNING.
bool CheckAllRunning(const std::string& socket_path);

// Handler of the stop signals: asks the daemon frame to stop.
void SignalHandler(int sig);

// chdir with the command line's failure message; false when it failed.
bool ChangeDirectory(const std::string& dir);

// Flushes the standard streams and ends the process without exit handlers.
[[noreturn]] void ExitNow(int status);

}  // namespace tendwell
