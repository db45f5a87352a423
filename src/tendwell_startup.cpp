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
#include "tendwell/protocal/TendwellSlave_types.h"
#include "tendwell_configure.h"
#include "tendwell_frame.h"
#include "tendwell_instance_claim.h"
#include "tendwell_instance_lock.h"
#include "tendwell_state_lock.h"
#include "tendwell_unix_rpc_manager.h"
#include "tendwell_unix_server.h"
#include "tendwell_utility.h"

namespace tendwell {

namespace {

// How often a command's hold of the state file is looked at again.
constexpr int kStateLookMs = 2;

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

// The foreground's side of the fork: one round a second until a daemon holds
// the lock and every tendlet runs, or the rounds run out, or no daemon can come
// up. The daemon may be another start's, when that one won the lock.
[[noreturn]] void WaitForDaemon(pid_t daemon, uint32_t attempts) {
    const std::string socket_path = g_conf.tendwell().unix_socket_path();
    bool own_gone = false;
    for (uint32_t i = 0; i < attempts; ++i) {
        corvel::sleep_ms(1000);
        const bool locked = ThriftUnixServer::GetInstance()->IsLocked();
        if (locked && CheckAllRunning(socket_path)) {
            printf("start succ...\n");
            ExitNow(0);
        }
        own_gone = own_gone || waitpid(daemon, nullptr, WNOHANG) == daemon;
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
// Names that another user's process holds, or one that does not listen, decide
// nothing: *squatted says who holds them, for the terminal and the log.
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
        *squatted += squatter.pid == 0
                         ? std::string("a process that does not listen")
                         : "process " + std::to_string(squatter.pid) + " of user " +
                               std::to_string(squatter.uid);
    }
    if (!squatted->empty()) {
        *squatted += "; the lock files keep the instance, and the claim is taken once it is free";
    }
    return 0;
}

// Whether another keeper has the state file, asked before anything is run or
// written: 0 when none has. A command of this instance that holds it is waited
// out, as a start waits for the instance lock; this instance's daemon (one whose
// claim is out of reach) is asked instead (kClaimedElsewhere). Any other process
// keeps this start off: status 4. 18 when a command still holds it after
// cmd_operate_timeout_sec. *refusal says why the start ends.
int LookAtStateFile(std::string* refusal) {
    const StateLock state(g_conf);
    InstanceLock lock(LockFilePath(g_conf.tendwell().unix_socket_path()));
    const int wait_ms = SecondsToMs<int32_t>(g_conf.cmd_operate_timeout_sec());
    const uint64_t start_ns = corvel::monotonic_ns();
    for (;;) {
        pid_t keeper;
        if (state.Keeper(&keeper) != 1) return 0;
        if (keeper == 0 || keeper != lock.HolderPid()) {
            *refusal = state.KeptText(keeper);
            return 4;
        }
        const int left_ms = corvel::remaining_ms(start_ns, wait_ms);
        const InstanceLock::Owner owner = lock.Await(left_ms);
        if (owner == InstanceLock::kDaemon) return kClaimedElsewhere;
        if (corvel::remaining_ms(start_ns, wait_ms) == 0) {
            *refusal = "another command holds the instance lock " + lock.path();
            return TReturnCode::ERROR_IS_OPERATEING;
        }
        // The command has let go of the instance lock, and is letting go of the
        // state file's.
        corvel::sleep_ms(kStateLookMs);
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

int StartDaemon(const std::string& change_dir) {
    // With one thread per tendlet, malloc would make up to eight arenas per
    // processor, each holding pages of its own. The daemon's threads rarely
    // allocate at the same time: one arena serves them as fast. Set before any
    // thread starts.
    mallopt(M_ARENA_MAX, 1);
    // Each kept process costs the daemon descriptors: it may use what the hard
    // limit allows, while every child, pre_cmd first, gets the usual limit back.
    const int fd_limit = corvel::raise_fd_limit();
    printf("begin to start...\n");
    // Later failures may end the process without exit handlers.
    fflush(stdout);
    // Every tendlet starts through it; refused before detaching, the message still
    // reaches the terminal.
    std::string why;
    std::string gate_warning;
    if (!UseGateProgram(&why, &gate_warning)) {
        fprintf(stderr, "%s\n", why.c_str());
        ExitNow(5);
    }
    // Where the start goes back to when another daemon holds the instance.
    const int start_dir = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
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
        claimed = LookAtStateFile(&refusal);
        // Let go of before anything is told: another start may take it at once.
        if (claimed != 0) ThriftUnixServer::GetInstance()->Claim().Release();
        if (!refusal.empty()) fprintf(stderr, "%s\n", refusal.c_str());
    }
    if (claimed != 0) {
        if (claimed == kClaimedElsewhere && (start_dir < 0 || fchdir(start_dir) != 0)) {
            fprintf(stderr, "[main]cdir_to the starting directory failed, erron:%d\n", errno);
            return 255;
        }
        return claimed;
    }
    if (start_dir >= 0) close(start_dir);
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
