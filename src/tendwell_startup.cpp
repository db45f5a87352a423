#include "tendwell_startup.h"

#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <stdio.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "corvel/clock.h"
#include "corvel/proc_title.h"
#include "corvel/shell.h"
#include "corvel/spawn.h"
#include "instance/tendwell_instance_claim.h"
#include "instance/tendwell_instance_holder.h"
#include "instance/tendwell_lock_table.h"
#include "instance/tendwell_state_lock.h"
#include "tendwell/protocal/TendwellSlave_types.h"
#include "tendwell_configure.h"
#include "tendwell_frame.h"
#include "tendwell_unix_rpc_manager.h"
#include "tendwell_unix_server.h"
#include "tendwell_utility.h"

namespace tendwell {

namespace {

// How long a daemon that has just taken the state file's lock waits for a
// younger keeper of a removed one to stand down; how often it looks meanwhile.
constexpr int kYoungerKeeperMs = 3000;
constexpr int kKeeperLookMs = 10;

void SetTitle() {
    const char* name = g_conf.process_tendwell_name().c_str();
    const char* dir = g_conf.change_directory().c_str();
    if (g_conf.has_lodir_name()) {
        corvel::proc_title_set("%s [%s] [%s] [%s]", name, kVersion, g_conf.lodir_name().c_str(),
                               dir);
    } else {
        corvel::proc_title_set("%s [%s] [%s]", name, kVersion, dir);
    }
}

// The daemon's side of the fork: its own session, standard streams on /dev/null.
int Detach() {
    if (setsid() < 0) {
        return -1;
    }
    int fd = open("/dev/null", O_RDWR);
    if (fd < 0) {
        return 0;
    }
    for (int target = 0; target <= 2; ++target) {
        if (dup2(fd, target) < 0) {
            return -1 - target;
        }
    }
    if (fd > 2 && close(fd) != 0) {
        return -4;
    }
    return 0;
}

// The line that names what keeps the state file: the holder's own words, or those
// of a keeper found by its claim.
std::string KeeperLine(const InstanceHolder& holder) {
    return holder.why.empty() ? StateLock(g_conf).KeptText(holder.pid) : holder.why;
}

// What the foreground says when its daemon ended with status 4 (it found the
// state file kept, or its lock file unusable): the line that names the keeper,
// looked at now. False when nothing keeps it any more.
bool TellKeeper() {
    const InstanceHolder holder = FindInstanceHolder(g_conf, 0);
    if (holder.kind != InstanceHolder::kKeeper && holder.kind != InstanceHolder::kDaemon &&
        holder.kind != InstanceHolder::kUnusable) {
        return false;
    }
    fprintf(stderr, "%s\n", KeeperLine(holder).c_str());
    return true;
}

// The foreground's side of the fork: one round a second until a daemon holds
// the lock and every tendlet runs, or the rounds run out, or no daemon can come
// up. The daemon may be another start's, when that one won the lock. One that
// stood down for another keeper of the state file ends the start with status 4.
[[noreturn]] void WaitForDaemon(pid_t daemon, uint32_t attempts) {
    const std::string socket_path = g_conf.tendwell().unix_socket_path();
    bool own_gone = false;
    for (uint32_t i = 0; i < attempts; ++i) {
        corvel::sleep_ms(1000);
        int status = 0;
        if (!own_gone && waitpid(daemon, &status, WNOHANG) == daemon) {
            own_gone = true;
            if (WIFEXITED(status) && WEXITSTATUS(status) == 4 && TellKeeper()) {
                fflush(stdout);
                ExitNow(4);
            }
        }
        const bool locked = ThriftUnixServer::GetInstance()->IsLocked();
        if (locked && CheckAllRunning(socket_path)) {
            printf("start succ...\n");
            ExitNow(0);
        }
        // With its own daemon gone and no other holding the lock, none will come up.
        if (own_gone && !locked) {
            break;
        }
    }
    // The rounds' reports first, also when standard output is not a terminal.
    fflush(stdout);
    fprintf(stderr, "start error...\n");
    ExitNow(255);
}

// Runs an optional start-up or shut-down command; its wait status, 0 when unset.
int RunConfiguredCommand(bool present, const std::string& command, uint32_t timeout_secs) {
    if (!present) {
        return 0;
    }
    return corvel::run_shell_command(command.c_str(), SecondsToMs<int32_t>(timeout_secs));
}

// Takes the instance's claim, in the daemon's directory; 0 once no process of
// this user holds it, kClaimedElsewhere when one does, 4 when it cannot be made.
// Names that another user's process holds decide nothing: *squatted says who
// holds them, for the terminal and the log.
int TakeClaim(std::string* squatted) {
    InstanceClaim& claim = ThriftUnixServer::GetInstance()->Claim();
    const std::string& socket_path = g_conf.tendwell().unix_socket_path();
    if (!claim.Take()) {
        if (claim.why().empty()) return kClaimedElsewhere;
        fprintf(stderr, "claim of %s can't be taken: %s\n", socket_path.c_str(),
                claim.why().c_str());
        return 4;
    }
    for (const InstanceClaim::Squatter& squatter : claim.squatters()) {
        *squatted += squatted->empty()
                         ? "claim of " + socket_path + " held by no daemon of this user: "
                         : std::string(", ");
        *squatted += squatter.name + " by ";
        *squatted += (squatter.pid == 0 ? std::string("a process")
                                        : "process " + std::to_string(squatter.pid)) +
                     " of user " + std::to_string(squatter.uid);
    }
    if (!squatted->empty()) {
        *squatted += "; the lock files keep the instance, and the claim is taken once it is free";
    }
    return 0;
}

// Who else holds the instance, asked once this process holds the claim and
// before anything is run or written: 0 when nobody does, or another program holds
// the lock file in a daemon's place (the daemon takes it once it is free). This
// instance's daemon (one whose claim is out of reach) is asked instead
// (kClaimedElsewhere). A command of this instance still holding it after
// cmd_operate_timeout_sec gives 18; another keeper of the state file, or a look
// that cannot be made, 4. *refusal says why the start ends.
int LookForOtherHolder(std::string* refusal) {
    OwnHolds own;
    own.claim = &ThriftUnixServer::GetInstance()->Claim();
    const InstanceHolder holder =
        FindInstanceHolder(g_conf, SecondsToMs<int32_t>(g_conf.cmd_operate_timeout_sec()), own);
    switch (holder.kind) {
    case InstanceHolder::kNobody:
    case InstanceHolder::kOther:
        return 0;
    case InstanceHolder::kDaemon:
        return kClaimedElsewhere;
    case InstanceHolder::kCommand:
        *refusal = "another command holds the instance lock " +
                   LockFilePath(g_conf.tendwell().unix_socket_path());
        return TReturnCode::ERROR_IS_OPERATEING;
    case InstanceHolder::kKeeper:
    case InstanceHolder::kUnusable:
        *refusal = holder.why;
        return 4;
    }
    return 0;
}

// Whether this daemon is the state file's one keeper, asked once it holds the
// state file's lock and before it loads anything: another process may hold the
// lock of a file removed from the path since the start looked. Of two keepers
// the younger stands down; an older one waits a younger one out, which stands
// down by the same rule, and one whose age cannot be told is taken for the older
// when it is still there a second later. *refusal names the keeper.
bool KeepsAlone(std::string* refusal) {
    OwnHolds own;
    own.claim = &ThriftUnixServer::GetInstance()->Claim();
    // Held, or left to another program for a later look: not to be probed.
    own.lock = true;
    own.state_lock = true;
    const uint64_t start_ns = corvel::monotonic_ns();
    for (;;) {
        const InstanceHolder holder = FindInstanceHolder(g_conf, 0, own);
        if (holder.kind == InstanceHolder::kNobody || holder.kind == InstanceHolder::kOther) {
            return true;
        }
        const int age = CompareAges(getpid(), holder.pid);
        const int wait_ms = age < 0 ? kYoungerKeeperMs : kUnknownAgeMs;
        if (holder.kind == InstanceHolder::kUnusable || age > 0 ||
            corvel::remaining_ms(start_ns, wait_ms) == 0) {
            *refusal = KeeperLine(holder);
            return false;
        }
        corvel::sleep_ms(kKeeperLookMs);
    }
}

void InstallStopHandlers() {
    struct sigaction action = {};
    action.sa_handler = SignalHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGINT, SIGTERM, SIGQUIT, SIGHUP}) {
        sigaction(sig, &action, nullptr);
    }
}

}  // namespace

void ExitNow(int status) {
    fflush(stdout);
    fflush(stderr);
    _exit(status);
}

bool ChangeDirectory(const std::string& dir) {
    if (chdir(dir.c_str()) != 0) {
        fprintf(stderr, "[main]cdir_to %s failed, erron:%d\n", dir.c_str(), errno);
        return false;
    }
    return true;
}

void SignalHandler(int /*sig*/) { TendwellFrame::GetInstance()->SetStop(); }

bool CheckAllRunning(const std::string& socket_path) {
    UnixRpcManager client(socket_path.c_str());
    TTendletStatusResponse response;
    client.Check(response, 3);
    if (response.returnInfo.returnCode != 0) {
        return false;
    }
    for (const TTendletStatusInfo& info : response.statusInfo) {
        if (info.status != TTendletStatus::RUNNING) {
            printf("%s is not running, in %s status...\n", info.name.c_str(), info.msg.c_str());
            return false;
        }
    }
    return true;
}

int InitDaemon(uint32_t attempts) {
    // Buffered output would otherwise be written twice, or lost at the
    // foreground's immediate exit.
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) {
        return -1;
    }
    InstanceClaim& claim = ThriftUnixServer::GetInstance()->Claim();
    if (pid == 0) {
        // Whoever looks at the claim's holder from now on finds the daemon.
        claim.Renew();
        return Detach();
    }
    // Held by the daemon alone: it goes when the daemon does.
    claim.Release();
    WaitForDaemon(pid, attempts);
}

int StartDaemon(const std::string& change_dir, int* start_dir) {
    // With one thread per tendlet, malloc would make up to eight arenas per
    // processor, each holding pages of its own. The daemon's threads rarely
    // allocate at the same time: one arena serves them as fast. Set before any
    // thread starts.
    mallopt(M_ARENA_MAX, 1);
    // Each kept process costs the daemon descriptors: it may use what the hard
    // limit allows, while every child, pre_cmd first, gets the usual limit back.
    const int fd_limit = corvel::raise_fd_limit();
    // Every tendlet starts through it; refused before detaching, the message still
    // reaches the terminal.
    std::string why;
    std::string gate_warning;
    if (!UseGateProgram(&why, &gate_warning)) {
        fprintf(stderr, "%s\n", why.c_str());
        ExitNow(5);
    }
    if (!change_dir.empty() && !ChangeDirectory(change_dir)) {
        return 255;
    }
    if (g_conf.has_change_directory() && !ChangeDirectory(g_conf.change_directory())) {
        return 255;
    }
    std::string squatted;
    int claimed = TakeClaim(&squatted);
    if (claimed == 0) {
        std::string refusal;
        claimed = LookForOtherHolder(&refusal);
        // Let go of before anything is told: another start may take it at once.
        if (claimed != 0) ThriftUnixServer::GetInstance()->Claim().Release();
        if (!refusal.empty()) fprintf(stderr, "%s\n", refusal.c_str());
    }
    if (claimed != 0) return claimed;
    // The daemon keeps no folder but its own: the one the start was typed in could
    // then never be unmounted while it runs.
    if (*start_dir >= 0) close(*start_dir);
    *start_dir = -1;
    if (!squatted.empty()) fprintf(stderr, "WARNING: %s\n", squatted.c_str());
    if (!CheckConfigure(g_conf, CheckFor::kDaemon)) {
        fprintf(stderr, "CheckConfigure fail, check your conf please\n");
        fprintf(stderr, "make sure data_dir is exist, use tendwell -t tendwell.conf to check\n");
        ExitNow(3);
    }
    SetTitle();
    int status = RunConfiguredCommand(g_conf.has_pre_cmd(), g_conf.pre_cmd(),
                                      g_conf.pre_cmd_timeout_sec());
    if (status != 0) {
        fprintf(stderr, "exec your pre_cmd(%s) fail:%d\n", g_conf.pre_cmd().c_str(), status);
        ExitNow(4);
    }
    const PTendwellConfigure& settings = g_conf.tendwell();
    const std::string log_file = LogFilePath(g_conf);
    std::string log_why;
    if (OpenLog(log_file.c_str(), "tendwell", settings.log_level(), settings.log_policy(),
                settings.log_size(), &log_why) != 0) {
        fprintf(stderr, "log_path %s: %s\n", log_file.c_str(), log_why.c_str());
        fprintf(stderr, "init plume fail:%s\n", log_file.c_str());
        ExitNow(4);
    }
    WarnTwiceNamed(g_conf);
    WarnEmptyCommands(g_conf);
    if (!gate_warning.empty()) TW_WARNING("main", "%s", gate_warning.c_str());
    if (!squatted.empty()) TW_WARNING("main", "%s", squatted.c_str());
    // Past the fork the daemon's failure would show only as "start error...".
    const std::string unservable = ThriftUnixServer::Unservable(settings.unix_socket_path());
    if (!unservable.empty()) {
        const std::string why =
            "unix socket " + settings.unix_socket_path() + " can't be served: " + unservable;
        TW_FATAL("main", "%s", why.c_str());
        fprintf(stderr, "%s\n", why.c_str());
        ExitNow(1);
    }
    TW_NOTICE("main", "descriptor limit:%d", fd_limit);
    if (settings.daemon()) {
        TW_NOTICE("main", "going to daemon..");
        int ret = InitDaemon(g_conf.cmd_start_timeo_s());
        if (ret != 0) {
            TW_FATAL("main", "InitDaemon fail, ret:%d.", ret);
            return 255;
        }
        TW_NOTICE("main", "daemon succ..");
    }
    if (!ThriftUnixServer::GetInstance()->LockFile()) {
        fprintf(stderr, "lock file fail...\n");
        ExitNow(4);
    }
    // Before the table is loaded: the state file has one keeper.
    if (!ThriftUnixServer::GetInstance()->LockStateFile()) {
        fprintf(stderr, "lock state file fail...\n");
        ExitNow(4);
    }
    std::string refusal;
    if (!KeepsAlone(&refusal)) {
        TW_FATAL("main", "%s: this daemon stands down before keeping anything", refusal.c_str());
        fprintf(stderr, "%s\n", refusal.c_str());
        ThriftUnixServer::GetInstance()->Stop();
        ExitNow(4);
    }
    signal(SIGPIPE, SIG_IGN);
    TW_NOTICE("main", "lock file succ..");
    int ret = TendwellFrame::GetInstance()->Init();
    if (ret != 0) {
        TW_FATAL("main", "init failed, ret=%d", ret);
        return 5;
    }
    InstallStopHandlers();
    ret = TendwellFrame::GetInstance()->Run();
    if (ret != 0) {
        TW_FATAL("main", "run failed,ret %d", ret);
        return 5;
    }
    if (TendwellFrame::GetInstance()->StoodDown()) {
        // The keeper has them: no end_cmd, which would end what it keeps.
        TW_FATAL("main", "%s: this daemon stands down, leaving every tendlet to it",
                 ThriftUnixServer::GetInstance()->Supplanted().c_str());
        CloseLog();
        return 4;
    }
    int exit_status = 0;
    status = RunConfiguredCommand(g_conf.has_end_cmd(), g_conf.end_cmd(),
                                  g_conf.end_cmd_timeout_sec());
    if (status != 0) {
        // Written with the source tag alone, as the shut-down's own line.
        TENDWELL_SOURCE_LOG(kLogFatal, "exec your end_cmd(%s) fail:%d", g_conf.end_cmd().c_str(),
                            status);
        exit_status = 6;
    }
    CloseLog();
    return exit_status;
}

}  // namespace tendwell
