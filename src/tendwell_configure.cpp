#include "tendwell_configure.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
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
    if (check != CheckFor::kDaemon && dir.size() > 1 && dir[0] == '.' &&
        !conf.change_directory().empty()) {
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

// The stop, restart and reload waits of the check a tendlet uses.
bool WaitsInRange(const PProcessConfigure& proc) {
    std::vector<std::pair<const char*, int32_t>> waits;
    if (proc.has_default_check()) {
        waits = {{"stop_wait_secs", proc.default_check().stop_wait_secs()}};
    } else {
        const PUserDefineCheckType& check = proc.user_define_check();
        waits = {{"stop_timeout_secs", check.stop_timeout_secs()},
                 {"restart_timeout_secs", check.restart_timeout_secs()},
                 {"reload_timeout_secs", check.reload_timeout_secs()}};
    }
    for (const auto& wait : waits) {
        if (wait.second < 0 || wait.second > kMaxWaitSecs) {
            return Refuse("name:" + proc.name() + " " + wait.first + ":" +
                          std::to_string(wait.second) + " must be between 0 and " +
                          std::to_string(kMaxWaitSecs));
        }
    }
    return true;
}

// False when data_dir + "/" + name can only be a directory: an empty name, one
// ending in "/", or one whose last part is "." or "..".
bool NamesAFile(const std::string& name) {
    const std::string last = name.substr(name.rfind('/') + 1);
    return !last.empty() && last != "." && last != "..";
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

int ParseConfigureFile(const std::string& path, PConfigure* conf) {
    // Non-blocking, so that a FIFO without a writer opens at once; blocking
    // again for the reads, so that a writer that is there is waited for.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    std::string text;
    char buf[65536];
    ssize_t n = corvel::clear_nonblocking(fd);
    while (n >= 0 && text.size() <= kMaxConfigureBytes) {
        n = corvel::read_fd(fd, buf, sizeof(buf));
        if (n <= 0) break;
        text.append(buf, n);
    }
    corvel::close_fd(fd);
    if (n < 0) return -2;
    if (text.size() > kMaxConfigureBytes) {
        fprintf(stderr, "configure %s is larger than %zu bytes\n", path.c_str(), kMaxConfigureBytes);
        return -2;
    }
    return google::protobuf::TextFormat::ParseFromString(text, conf) ? 0 : -2;
}

int TendwellGetConfigureFromFile(const std::string& path, PConfigure* conf) {
    const int parsed = ParseConfigureFile(path, conf);
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

std::string LogFilePath(const PConfigure& conf) {
    return conf.tendwell().log_path() + "/" + conf.tendwell().log_file_name();
}

bool CheckDataDir(const std::string& dir) {
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            return false;
        }
        TW_WARNING("CheckConfigure", "data_dir %s is not exist,where to write?", dir.c_str());
        int ret = corvel::make_dirs(dir.c_str(), 0755);
        if (ret != 0) {
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
        if (!WaitsInRange(proc)) return false;
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
    if (!NamesAFile(conf.status_save_filename())) {
        return Refuse("status_save_filename:\"" + conf.status_save_filename() +
                      "\" names no file");
    }
    return CheckDataDir(CheckedDir(conf, tw.data_dir(), check)) &&
           CheckDataDir(CheckedDir(conf, tw.log_path(), check));
}

void WarnTwiceNamed(const PConfigure& conf) {
    for (const std::string& twice : TwiceNamed(conf)) {
        TW_WARNING("WarnTwiceNamed", "%s, the later one is kept", twice.c_str());
    }
}

}  // namespace tendwell
