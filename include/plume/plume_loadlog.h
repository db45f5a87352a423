// Opening plume from a configuration file of "name : value" lines, and reading
// registered files again later to change levels and switch devices on or off.
#pragma once

#include "plume/plume.h"

// Reads path/file (without following "$include") and opens plume with the process
// keys and devices it configures: the result of plume_openlog, or -1 on a
// configuration error, with nothing opened.
int plume_loadlog(const char* path, const char* file);
// As plume_loadlog; pid is the DISKLOG_PATH_ID parameter of FLUVIA devices.
int plume_loadlog_ex(const char* path, const char* file, int pid);

// Registers path/file to set, at each plume_reload_all, the level record of the calling
// thread's category, and so of every category sharing it: 0, or -1 when 1024 files are
// registered or no category can be had. The registrations end with the library.
int plume_reg_reload_conf(const char* path, const char* file);
// Reads every registered file again; always 0.
int plume_reload_all();

// Reads path/file into out (its PLUME_LEVEL and PLUME_SELFDEFINE) and switches each
// configured device's existing appender on or off by its OPEN key: 0, or -1 when the
// file cannot be read, configures no device or names one wrongly.
int plumesig_reload_conf(plume_logstat_t* out, const char* path, const char* file);
int plumesig_reload_all();

typedef void (*plumesig_handler_t)(int);
// Installs handler for signo, restarting interrupted calls except for SIGALRM: the
// previous handler, or SIG_ERR.
plumesig_handler_t plumesig_signal(int signo, plumesig_handler_t handler);
