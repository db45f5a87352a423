// How the keeper recognises a process again: the modification time of its /proc
// entry, or for check mode the check command.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "corvel/shell.h"
#include "keeper/process_keeper.h"

namespace tendwell {

namespace {

// True when pid has ended: its /proc entry is gone or it is a zombie.
bool Ended(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;
    // The state follows the command name, which is at most 16 bytes long.
    char buf[256];
    ssize_t n = read(fd, buf, sizeof(buf));
    close(fd);
    if (n <= 0) return true;
    const std::string stat(buf, static_cast<size_t>(n));
    size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos || close_paren + 2 >= stat.size()) return true;
    char state = stat[close_paren + 2];
    return state == 'Z' || state == 'X';
}

}  // namespace

int ProcessKeeper::Exec(const std::string& command, int32_t timeout_ms) {
    return corvel::run_shell_command(command.c_str(), timeout_ms);
}

int64_t ProcessKeeper::ProcStartTime(pid_t pid) {
    if (pid < 1) return 0;
    const std::string path = "/proc/" + std::to_string(pid);
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return 0;
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000 + st.st_mtim.tv_nsec / 1000;
}

bool ProcessKeeper::Verify(const Process& process) {
    if (process.command.empty() && !process.check_command.empty()) {
        return corvel::run_shell_command(process.check_command.c_str(), -1) == 0;
    }
    if (process.start_time_us <= 0 || process.start_time_us != ProcStartTime(process.pid)) {
        return false;
    }
    // It is the recorded process; a zombie of it has ended all the same. An adopted
    // zombie that is this process's own child (a keeper re-initialised in the same
    // process) has no other reaper, so it is reaped here.
    if (!Ended(process.pid)) return true;
    waitpid(process.pid, nullptr, WNOHANG);
    return false;
}

}  // namespace tendwell
