#include "tendwell_configure.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <utility>
#include <vector>

#include <google/protobuf/text_format.h>

#include "corvel/fd_io.h"
#include "corvel/path.h"
#include "tendwell_utility.h"

namespace tendwell {

PConfigure g_conf;

namespace {

// Largest configuration file read; an endless device named as one ends there.
constexpr size_t kMaxConfigureBytes = 16 << 20;

// The base library's cleaned copy of path (blanks trimmed), or an empty string
// when cleaning fails.
std::string CleanPath(const std::string& path) {
    std::unique_ptr<char, decltype(&free)> clean(corvel::normalize_path(path.c_str(), true), &free);
    return clean ? std::string(clean.get()) : std::string();
}

// Gives every tendlet that names no check a default check whose command comes
// from its plat_exec_path or the platform command table. False when neither has one.
bool GenerateDefaultChecks(PConfigure* conf) {
    for (int i = 0; i < conf->process_size(); ++i) {
        PProcessConfigure* proc = conf->mutable_process(i);
        if (proc->has_default_check() || proc->has_user_define_check()) {
            continue;
        }
        TW_DEBUG("TendwellGetConfigureFromFile", "no check script,generate default for %s.",
                 proc->name().c_str());
        std::string cmd;
        if (proc->has_plat_exec_path()) {
            cmd = proc->plat_exec_path();
        } else {
            cmd = PlatformCommandTable::GetInstance().Find(proc->name());
            if (cmd.empty()) {
                TW_WARNING("TendwellGetConfigureFromFile",
                           "%s have no default check or user defin check", proc->name().c_str());
                return false;
            }
        }
        if (proc->has_plat_exec_parament()) {
            cmd += " " + proc->plat_exec_parament();
        }
        proc->mutable_default_check()->set_start_command(cmd);
        TW_NOTICE("TendwellGetConfigureFromFile", "generate command:%s for name:%s", cmd.c_str(),
                  proc->name().c_str());
    }
    return true;
}

// Says why a configuration is refused, in the log and on standard error.
bool Refuse(const std::string& why) {
    TW_FATAL("CheckConfigure", "%s", why.c_str());
    fprintf(stderr, "%s\n", why.c_str());
    return false;
}

// Longest stop, restart or reload wait a tendlet may have: a day. Far longer
// ones are mistakes that would keep a stopping daemon waiting for years.
constexpr int32_t kMaxWaitSecs = 86400;

// Where check finds a data or log directory written as dir.
std::string CheckedDir(const PConfigure& conf, const std::string& dir, CheckFor check) {
    const bool in_change_dir = check == CheckFor::kDaemon || check == CheckFor::kHere;
    if (!in_change_dir && dir.size() > 1 && dir[0] == '.' && !conf.change_directory().empty()) {
        return conf.change_directory() + "/" + dir;
    }
    return dir;
}

// For each entry whose name an earlier one gives too: "name:web is given twice
// (process 1 and process 3)", the entries counted from 1.
std::vector<std::string> TwiceNamed(const PConfigure& conf) {
    std::vector<std::string> found;
    std::map<std::string, int> last;
    for (int i = 0; i < conf.process_size(); ++i) {
        const std::string& name = conf.process(i).name();
        const auto earlier = last.find(name);
        if (earlier != last.end()) {
            found.push_back("name:" + name + " is given twice (process " +
                            std::to_string(earlier->second + 1) + " and process " +
                            std::to_string(i + 1) + ")");
        }
        last[name] = i;
    }
    return found;
}

// Which of the stop, restart and reload waits of the check a tendlet uses, of
// those in uses, is out of range; empty when none.
std::string WaitOutOfRange(const PProcessConfigure& proc, unsigned uses) {
    struct Wait {
        const char* name;
        int32_t secs;
        // The command's use that reads it.
        unsigned use;
    };
    std::vector<Wait> waits;
    if (proc.has_default_check()) {
        waits = {{"stop_wait_secs", proc.default_check().stop_wait_secs(), kUsesStop}};
    } else {
        const PUserDefineCheckType& check = proc.user_define_check();
        waits = {{"stop_timeout_secs", check.stop_timeout_secs(), kUsesStop},
                 {"restart_timeout_secs", check.restart_timeout_secs(), kUsesRestart},
                 {"reload_timeout_secs", check.reload_timeout_secs(), kUsesReload}};
    }
    for (const Wait& wait : waits) {
        if ((uses & wait.use) != 0 && (wait.secs < 0 || wait.secs > kMaxWaitSecs)) {
            return "name:" + proc.name() + " " + wait.name + ":" + std::to_string(wait.secs) +
                   " must be between 0 and " + std::to_string(kMaxWaitSecs);
        }
    }
    return std::string();
}

// For each tendlet whose check has an empty command that it runs: "name:web
// start_command is empty". Such a tendlet can never run.
std::vector<std::string> EmptyCommands(const PConfigure& conf) {
    std::vector<std::string> found;
    for (const PProcessConfigure& proc : conf.process()) {
        std::vector<std::pair<const char*, const std::string*>> commands;
        if (proc.has_default_check()) {
            commands = {{"start_command", &proc.default_check().start_command()}};
        } else if (proc.has_user_define_check()) {
            commands = {{"start_command", &proc.user_define_check().start_command()},
                        {"check_command", &proc.user_define_check().check_command()}};
        }
        for (const auto& command : commands) {
            if (command.second->empty()) {
                found.push_back("name:" + proc.name() + " " + command.first + " is empty");
            }
        }
    }
    return found;
}

// False when data_dir + "/" + name can only be a directory: an empty name, one
// ending in "/", or one whose last part is "." or "..".
bool NamesAFile(const std::string& name) {
    const std::string last = name.substr(name.rfind('/') + 1);
    return !last.empty() && last != "." && last != "..";
}

// What stands at the state file's path and beside it: the state file, its lock,
// the identity file, and the next version of each.
const char* const kStateFileSuffixes[] = {"", ".lock", ".new", ".ident", ".ident.new"};
// The longest of them, which the file system's name limit must leave room for.
constexpr size_t kLongestStateSuffix = 10;

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// True when a and b name one entry of one folder, however each is written.
bool SameEntry(const std::string& a, const std::string& b) {
    struct stat dir_a, dir_b;
    return BaseName(a) == BaseName(b) && stat(DirectoryOf(a).c_str(), &dir_a) == 0 &&
           stat(DirectoryOf(b).c_str(), &dir_b) == 0 && dir_a.st_dev == dir_b.st_dev &&
           dir_a.st_ino == dir_b.st_ino;
}

// Makes folder, with every missing parent, mode 0755, unless it stands as a
// directory. False with errno set when it cannot.
bool MakeFolder(const std::string& folder) {
    struct stat st;
    if (stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    return corvel::make_dirs(folder.c_str(), 0755) == 0;
}

// The socket path that the configuration names itself: the configuration test
// sees no path the loader derives from the configuration file's own path.
std::string NamedSocketPath(const PTendwellConfigure& tw) {
    return tw.has_unix_socket_name() ? tw.data_dir() + "/" + tw.unix_socket_name()
                                     : tw.unix_socket_path();
}

// Why the keeper could never save its state file, once its missing folder is
// made; empty when it can.
std::string StateFileProblem(const PConfigure& conf, CheckFor check) {
    const std::string value = "status_save_filename:\"" + conf.status_save_filename() + "\"";
    if (!NamesAFile(conf.status_save_filename())) return value + " names no file";
    const PTendwellConfigure& tw = conf.tendwell();
    const std::string path =
        CheckedDir(conf, tw.data_dir(), check) + "/" + conf.status_save_filename();
    const std::string folder = DirectoryOf(path);
    if (check != CheckFor::kHere && !MakeFolder(folder)) {
        return value + ": folder " + folder + " can't be made: " + strerror(errno);
    }
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return value + ": " + path + " is a directory";
    }
    long name_max = pathconf(folder.c_str(), _PC_NAME_MAX);
    if (name_max < 0) name_max = NAME_MAX;
    const size_t longest = BaseName(path).size() + kLongestStateSuffix;
    if (longest > static_cast<size_t>(name_max)) {
        return value + ": with \".ident.new\" its file name is " + std::to_string(longest) +
               " bytes, the file system takes " + std::to_string(name_max);
    }
    const std::string socket = NamedSocketPath(tw);
    if (socket.empty()) return std::string();
    const std::string socket_path = CheckedDir(conf, socket, check);
    const std::pair<const char*, std::string> theirs[] = {
        {"control socket", socket_path}, {"lock file", LockFilePath(socket_path)}};
    for (const char* suffix : kStateFileSuffixes) {
        for (const auto& their : theirs) {
            if (SameEntry(path + suffix, their.second)) {
                return value + ": " + path + suffix + " is the " + their.first + " " +
                       their.second;
            }
        }
    }
    return std::string();
}

// Says on standard error, without refusing, that this user cannot write the
// directory a field names.
void WarnUnwritable(const char* field, const std::string& dir) {
    if (access(dir.c_str(), W_OK | X_OK) != 0) {
        fprintf(stderr, "WARNING: %s %s is not writable by this user: %s\n", field, dir.c_str(),
                strerror(errno));
    }
}

}  // namespace

std::string JoinPath(const std::string& path, const std::string& base) {
    std::string full = (!path.empty() && path[0] == '/') ? path : base + "/" + path;
    TW_DEBUG("JoinPath", "src:%s des:%s full:%s", path.c_str(), base.c_str(), full.c_str());
    return full;
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

void MakeUnixSocketPath(const std::string& dir, const std::string& conf_path, std::string& out) {
    std::string clean_dir = CleanPath(dir);
    if (clean_dir.empty()) {
        TW_FATAL("make_clean_path", "fail %s", dir.c_str());
        return;
    }
    std::string full = conf_path;
    if (!conf_path.empty() && conf_path[0] != '/') {
        char cwd[1024] = {0};
        if (getcwd(cwd, sizeof(cwd)) == nullptr) {
            // Hashing a path that is not absolute would give each working
            // directory a socket of its own for the same file.
            TW_FATAL("unix socket", "getcwd fail, errno:%d", errno);
            return;
        }
        full = std::string(cwd) + "/" + conf_path;
        TW_NOTICE("unix socket", "getcwd:%s full:%s", cwd, full.c_str());
    }
    std::string clean_full = CleanPath(full);
    if (clean_full.empty()) {
        TW_FATAL("make_clean_path", "%s fail", full.c_str());
        return;
    }
    out = clean_dir + "/" + Md5Hex(clean_full.data(), clean_full.size());
    TW_NOTICE("unix sockt", "socket:%s conf_path:%s data_dir:%s", out.c_str(), clean_full.c_str(),
              clean_dir.c_str());
}

int ParseConfigureFile(const std::string& path, PConfigure* conf, std::string* why) {
    // Non-blocking, so that a FIFO without a writer opens at once; blocking
    // again for the reads, so that a writer that is there is waited for.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int err = errno;
        if (why != nullptr) *why = path + ": " + strerror(err);
        errno = err;
        return -1;
    }
    std::string text;
    char buf[65536];
    ssize_t n = corvel::clear_nonblocking(fd);
    while (n >= 0 && text.size() <= kMaxConfigureBytes) {
        n = corvel::read_fd(fd, buf, sizeof(buf));
        if (n <= 0) break;
        text.append(buf, n);
    }
    const int read_error = errno;
    corvel::close_fd(fd);
    if (n < 0) {
        if (why != nullptr) *why = path + ": " + strerror(read_error);
        return -2;
    }
    if (text.size() > kMaxConfigureBytes) {
        fprintf(stderr, "configure %s is larger than %zu bytes\n", path.c_str(), kMaxConfigureBytes);
        return -2;
    }
    return google::protobuf::TextFormat::ParseFromString(text, conf) ? 0 : -2;
}

int TendwellGetConfigureFromFile(const std::string& path, PConfigure* conf, std::string* why) {
    const int parsed = ParseConfigureFile(path, conf, why);
    if (parsed == -1) {
        TW_WARNING("TendwellGetConfigureFromFile", "open %s fail, errno:%d", path.c_str(), errno);
        return -1;
    }
    if (parsed != 0) {
        TW_WARNING("TendwellGetConfigureFromFile", "parse %s fail.", path.c_str());
        return -1;
    }
    PTendwellConfigure* tw = conf->mutable_tendwell();
    if (tw->has_unix_socket_name()) {
        tw->set_unix_socket_path(tw->data_dir() + "/" + tw->unix_socket_name());
        TW_NOTICE("TendwellGetConfigureFromFile", "set unix socket:%s",
                  tw->unix_socket_path().c_str());
    }
    if (!tw->has_unix_socket_path()) {
        std::string dir = conf->has_change_directory()
                              ? JoinPath(tw->data_dir(), conf->change_directory())
                              : tw->data_dir();
        std::string out;
        MakeUnixSocketPath(dir, path, out);
        tw->set_unix_socket_path(out);
        TW_NOTICE("TendwellGetConfigureFromFile", "set unix socket:%s", out.c_str());
    }
    // An empty socket path would make the server listen on TCP on every
    // interface, with no authentication.
    if (tw->unix_socket_path().empty()) {
        TW_WARNING("TendwellGetConfigureFromFile", "no unix socket path for %s.", path.c_str());
        return -1;
    }
    if (!GenerateDefaultChecks(conf)) {
        return -1;
    }
    TW_NOTICE("TendwellGetConfigureFromFile", "get conf_file:%s ok.", path.c_str());
    return 0;
}

std::string LockFilePath(const std::string& socket_path) {
    return socket_path.empty() ? socket_path : socket_path + ".lock";
}

std::string StateFilePath(const PConfigure& conf) {
    return conf.tendwell().data_dir() + "/" + conf.status_save_filename();
}

std::string StateLockPath(const PConfigure& conf) { return StateFilePath(conf) + ".lock"; }

std::string LogFilePath(const PConfigure& conf) {
    return conf.tendwell().log_path() + "/" + conf.tendwell().log_file_name();
}

bool CheckDataDir(const std::string& dir, const char* field) {
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            fprintf(stderr, "%s %s: %s\n", field, dir.c_str(), strerror(errno));
            return false;
        }
        TW_WARNING("CheckConfigure", "data_dir %s is not exist,where to write?", dir.c_str());
        int ret = corvel::make_dirs(dir.c_str(), 0755);
        if (ret != 0) {
            fprintf(stderr, "%s %s: %s\n", field, dir.c_str(), strerror(errno));
            TW_FATAL("mkdirs", "%s mkdirs return %d", dir.c_str(), ret);
            fprintf(stderr, "%s mkdirs return %d, check you dir_path\n", dir.c_str(), ret);
            return false;
        }
        TW_NOTICE("mkdirs", "%s mkdir succ.", dir.c_str());
        return true;
    }
    // A link to a directory serves as well as the directory itself.
    struct stat target;
    if (stat(dir.c_str(), &target) != 0 || !S_ISDIR(target.st_mode)) {
        // The common line below speaks of data_dir whichever directory it is.
        if (strcmp(field, "data_dir") != 0) {
            fprintf(stderr, "%s %s is not a directory\n", field, dir.c_str());
        }
        TW_FATAL("CheckDataDir", "data_dir:%s is not dir, type:%d", dir.c_str(),
                 static_cast<int>(st.st_mode));
        fprintf(stderr, "data_dir:%s is not dir, type:%d\n", dir.c_str(),
                static_cast<int>(st.st_mode));
        return false;
    }
    return true;
}

bool CheckConfigure(const PConfigure& conf, CheckFor check) {
    if (conf.process_size() == 0) {
        TW_FATAL("CheckConfigure", "no instance to watch?");
        fprintf(stderr, "[CheckConfigure]no instance to watch?\n");
        return false;
    }
    for (const PProcessConfigure& proc : conf.process()) {
        if (!proc.has_default_check() && !proc.has_user_define_check()) {
            TW_FATAL("CheckConfigure", "name:%s must have a check type", proc.name().c_str());
            return false;
        }
    }
    if (check == CheckFor::kTest) {
        const std::vector<std::string> twice = TwiceNamed(conf);
        if (!twice.empty()) return Refuse(twice.front());
    }
    const PTendwellConfigure& tw = conf.tendwell();
    if (tw.unix_socket_path().size() > kMaxUnixSocketPathLen) {
        TW_FATAL("CheckConfigure", "data dir %s is too long for unix socket path",
                 tw.unix_socket_path().c_str());
        fprintf(stderr, "unix socket path %s is too long...\n", tw.unix_socket_path().c_str());
        return false;
    }
    const std::string data_dir = CheckedDir(conf, tw.data_dir(), check);
    const std::string log_dir = CheckedDir(conf, tw.log_path(), check);
    if (!CheckDataDir(data_dir, "data_dir") || !CheckDataDir(log_dir, "log_path")) return false;
    if (check == CheckFor::kClient) return true;
    if (check == CheckFor::kTest) {
        WarnUnwritable("data_dir", data_dir);
        WarnUnwritable("log_path", log_dir);
    }
    const std::string unusable = UnusableValue(conf, check);
    return unusable.empty() || Refuse(unusable);
}

std::string UnusableValue(const PConfigure& conf, CheckFor check, unsigned uses) {
    for (const PProcessConfigure& proc : conf.process()) {
        const std::string wait = WaitOutOfRange(proc, uses);
        if (!wait.empty()) return wait;
    }
    if (check != CheckFor::kDaemon && (uses & kUsesStart)) {
        const std::vector<std::string> empty = EmptyCommands(conf);
        if (!empty.empty()) return empty.front();
    }
    return StateFileProblem(conf, check);
}

void WarnTwiceNamed(const PConfigure& conf) {
    for (const std::string& twice : TwiceNamed(conf)) {
        TW_WARNING("WarnTwiceNamed", "%s, the later one is kept", twice.c_str());
    }
}

void WarnEmptyCommands(const PConfigure& conf) {
    for (const std::string& empty : EmptyCommands(conf)) {
        TW_WARNING("WarnEmptyCommands", "%s, it can never run", empty.c_str());
    }
}

void KeepStateFileFolder(const PConfigure& conf) {
    const std::string folder = DirectoryOf(StateFilePath(conf));
    struct stat st;
    if (stat(folder.c_str(), &st) == 0) return;
    if (MakeFolder(folder)) {
        TW_WARNING("KeepFiles", "state file folder %s was gone, made again", folder.c_str());
    }
}

}  // namespace tendwell
