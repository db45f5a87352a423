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

// Parses the text-format file at path into conf, fills in the control-socket
// path and a default check for tendlets that name none. 0 on success, -1 otherwise.
int TendwellGetConfigureFromFile(const std::string& path, PConfigure* conf);

// path itself when it is absolute, else base + "/" + path.
std::string JoinPath(const std::string& path, const std::string& base);

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

// The checks a configuration must pass before a daemon relies on it.
bool CheckConfigure(const PConfigure& conf);

}  // namespace tendwell
