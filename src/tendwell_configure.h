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
// read, is larger than 16 MB (said on standard error) or does not parse.
int ParseConfigureFile(const std::string& path, PConfigure* conf);

// Parses the text-format file at path into conf, fills in the control-socket
// path and a default check for tendlets that name none. 0 on success, -1 otherwise.
int TendwellGetConfigureFromFile(const std::string& path, PConfigure* conf);

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
// The daemon's log file: log_path followed by "/" and log_file_name.
std::string LogFilePath(const PConfigure& conf);

// True when dir is a directory (or a link to one), creating it when missing.
bool CheckDataDir(const std::string& dir);

// Which check a configuration gets; they differ only in where relative data
// and log directories are looked for and in what a tendlet named twice costs.
enum class CheckFor {
    // The configuration test: as a client's check, and a name given twice is
    // refused.
    kTest,
    // A client, in the directory it was started in: a directory beginning with
    // "." lies under change_directory, any other relative one here. A name given
    // twice passes: the later entry is kept.
    kClient,
    // The daemon, once it has changed into change_directory: every relative
    // directory lies here. A name given twice passes.
    kDaemon,
};

// The checks a configuration must pass before a daemon relies on it. The data
// and log directories are created when missing.
bool CheckConfigure(const PConfigure& conf, CheckFor check);

// Logs a warning for each tendlet that a later entry of the same name replaces.
void WarnTwiceNamed(const PConfigure& conf);

}  // namespace tendwell
