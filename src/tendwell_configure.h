// Loading and checking of the configuration file, and the paths derived from it.
#pragma once

#include <string>

#include "tendwell/protocal/TendwellConfigure.pb.h"

namespace tendwell {

// The process-wide configuration, loaded once by the command line.
extern PConfigure g_conf;

// Longest control-socket path that a Unix-domain address (and Thrift's
// listener, which needs room for the terminating NUL) accepts.
constexpr size_t kMaxUnixSocketPathLen = 107;

// Reads the configuration file at path whole and parses its text into conf: a
// FIFO without a writer reads as an empty file, one with a writer until it
// closes. 0; -1 when it cannot be opened (errno tells why); -2 when it cannot be
// read, is larger than 16 MB (said on standard error) or does not parse. why, when
// given, is set to "PATH: REASON" when the file cannot be opened or read.
int ParseConfigureFile(const std::string& path, PConfigure* conf, std::string* why = nullptr);

// Parses the text-format file at path into conf, fills in the control-socket
// path and a default check for tendlets that name none. 0 on success, -1
// otherwise; why as for ParseConfigureFile.
int TendwellGetConfigureFromFile(const std::string& path, PConfigure* conf,
                                 std::string* why = nullptr);

// path itself when it is absolute, else base + "/" + path.
std::string JoinPath(const std::string& path, const std::string& base);
// The directory part of path: "." for a bare name; the root keeps its slash.
std::string DirectoryOf(const std::string& path);

// Sets out to the default socket path: the cleaned dir followed by the MD5 of
// the cleaned absolute conf_path. Leaves out untouched on failure.
void MakeUnixSocketPath(const std::string& dir, const std::string& conf_path, std::string& out);

// The other paths the daemon derives from a loaded configuration (the loader
// fills in the control socket's); every user builds them here.
// The instance lock file: the socket path followed by ".lock", or an empty
// string when there is no socket path.
std::string LockFilePath(const std::string& socket_path);
// The keeper's state file: data_dir followed by "/" and status_save_filename.
std::string StateFilePath(const PConfigure& conf);
// The state file's lock: the state file's path followed by ".lock".
std::string StateLockPath(const PConfigure& conf);
// The daemon's log file: log_path followed by "/" and log_file_name.
std::string LogFilePath(const PConfigure& conf);

// True when dir is a directory (or a link to one), creating it when missing.
// field names the setting in what standard error says of a failure.
bool CheckDataDir(const std::string& dir, const char* field = "data_dir");

// Which check a configuration gets; they differ in where relative paths are
// looked for and in what they refuse.
enum class CheckFor {
    // The configuration test: as a client's check, and it refuses what
    // UnusableValue finds and a name given twice; a data or log directory this
    // user cannot write is only warned of (root may start what a user tests).
    kTest,
    // A client, in the directory it was started in: a path beginning with "."
    // lies under change_directory, any other relative one here. Only the base
    // rules: whether a command may go on despite what UnusableValue finds
    // depends on where it runs. A name given twice passes: the later entry is kept.
    kClient,
    // The daemon, once it has changed into change_directory: every relative
    // path lies here. It refuses what UnusableValue finds; a name given twice
    // passes.
    kDaemon,
    // A command run in a client, judging what UnusableValue finds of the values
    // it uses, once it has changed into change_directory: every relative path
    // lies here, as for the daemon, and nothing is made.
    kHere,
};

// What a command uses of the values that UnusableValue judges: only those may
// refuse it. The state file's name is used by every command that runs in this
// process, and by the daemon.
enum Uses : unsigned {
    kUsesNothing = 0,
    // Start commands, and the check commands that watch what they start.
    kUsesStart = 1U << 0,
    kUsesStop = 1U << 1,
    kUsesRestart = 1U << 2,
    kUsesReload = 1U << 3,
    kUsesAll = kUsesStart | kUsesStop | kUsesRestart | kUsesReload,
};

// The checks a configuration must pass before a daemon relies on it. The data
// and log directories (and, where they are judged, the state file's folder) are
// created when missing.
bool CheckConfigure(const PConfigure& conf, CheckFor check);

// The checks beyond the base rules, on values that a daemon, or a command run
// in this process, uses (those of uses): the stop, restart and reload waits, the
// state file's name (its missing folder is made, but for kHere) and, but for the
// daemon, which keeps the other tendlets, empty commands. Empty when they pass;
// else what the first failing one finds. Run after CheckConfigure, which makes
// the data directory.
std::string UnusableValue(const PConfigure& conf, CheckFor check, unsigned uses = kUsesAll);

// Logs a warning for each tendlet that a later entry of the same name replaces.
void WarnTwiceNamed(const PConfigure& conf);
// Logs a warning for each tendlet whose start or check command is empty.
void WarnEmptyCommands(const PConfigure& conf);

// Makes the state file's folder again when it has gone while the daemon runs
// (the data directory itself is put back on its own).
void KeepStateFileFolder(const PConfigure& conf);

}  // namespace tendwell
