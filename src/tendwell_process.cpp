#include "tendwell_process.h"

#include <assert.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>

#include "corvel/clock.h"
#include "keeper/pid_fd.h"
#include "instance/tendwell_state_lock.h"
#include "tendwell/protocal/TendwellConfigure.pb.h"
#include "tendwell_configure.h"
#include "tendwell_tendlet_manager.h"
#include "tendwell_unix_rpc_manager.h"
#include "tendwell_utility.h"

namespace tendwell {

namespace {

// How often a stopping daemon is looked at where the kernel gives no process
// descriptor.
constexpr int kLockLookMs = 1;
// How long a daemon's socket that is not back, or its state file's lock that
// nobody holds, is looked at again: twice the daemon's look after its files.
constexpr int kPutBackMs = 2000;
// How often it is looked at meanwhile.
constexpr int kRelookMs = 10;
// How often a start asks a daemon that holds the instance but does not answer,
// and how often, meanwhile, it looks at one whose connection ended.
constexpr int kRoundMs = 1000;
constexpr uint64_t kRoundNs = kRoundMs * 1000000ULL;
constexpr int kEndedLookMs = 20;

// Whether process pid ends within wait_ms: told by a process descriptor, so that
// a process that takes the pid later is never waited for; where the kernel has
// none, by the pid.
bool AwaitEnd(pid_t pid, int wait_ms) {
    const int fd = OpenPidFd(pid);
    if (fd < 0 && errno == ESRCH) return true;
    if (fd >= 0) {
        const bool ended = PidFdEnded(fd, wait_ms);
        close(fd);
        return ended;
    }
    const uint64_t start_ns = corvel::monotonic_ns();
    while (kill(pid, 0) == 0 || errno != ESRCH) {
        if (corvel::remaining_ms(start_ns, wait_ms) == 0) return false;
        corvel::sleep_ms(kLockLookMs);
    }
    return true;
}

void SetResult(TReturnResult* result, TReturnCode::type code, const std::string& msg) {
    result->returnCode = code;
    result->returnMsg = msg;
}

}  // namespace

ProcessManager* ProcessManager::GetInstance() {
    // Never destroyed: the process ends right after its one command.
    static ProcessManager* instance = new ProcessManager();
    return instance;
}

ProcessManager::ProcessManager() = default;

ProcessManager::~ProcessManager() = default;

int32_t ProcessManager::InitWithoutProcessKeeper(const PConfigure& conf,
                                                 const std::string& conf_path) {
    conf_ = &conf;
    // The loader has filled it in: a loaded configuration always names its socket.
    const std::string& socket_path = conf.tendwell().unix_socket_path();
    lock_.reset(new InstanceLock(LockFilePath(socket_path)));
    unix_rpc_manager_.reset(new UnixRpcManager(socket_path.c_str()));
    unix_rpc_manager_->SetRecvTimeout(static_cast<int64_t>(conf.cmd_operate_timeout_sec()) * 1000);
    if (!CheckConfigure(conf, CheckFor::kClient)) {
        TW_WARNING("Init", "Configure check error, please check your configure:%s.",
                   conf_path.c_str());
        return TReturnCode::ERROR_CONFIGURE_CHECK_ERROR;
    }
    TW_NOTICE("Init", "unix socket addr is:%s, init ok.", socket_path.c_str());
    WarnTwiceNamed(conf);
    if (TendletManager::GetInstance()->InitWithoutProcessKeeper(conf) != 0) {
        TW_WARNING("Init", "init tendlet manager fail");
        return TReturnCode::ERROR_PRCESS_MNG_INIT_FAIL;
    }
    TW_NOTICE("Init", "InitWithoutProcessKeeper ok.");
    return 0;
}

InstanceHolder ProcessManager::AwaitHolder(int wait_ms) {
    // Looked at now, in change_directory, from where the command reaches the socket.
    return FindInstanceHolder(*conf_, wait_ms);
}

ProcessManager::Route ProcessManager::Decide(bool local, TReturnResult* refusal, unsigned uses,
                                             bool start_of_all) {
    assert(unix_rpc_manager_ != nullptr);
    const int wait_ms = SecondsToMs<int32_t>(conf_->cmd_operate_timeout_sec());
    InstanceHolder holder = AwaitHolder(wait_ms);
    // Running here, this process holds the instance lock for the whole command,
    // so that no daemon starts the same tendlets meanwhile; when the lock is
    // taken already, the holder decides again. A lock file that cannot be made
    // at all leaves the command to run unlocked.
    if (holder.kind == InstanceHolder::kNobody && local &&
        lock_->TakeForCommand(wait_ms) != InstanceLock::kNobody) {
        holder = AwaitHolder(0);
        // Let go of meanwhile: the next command's turn has come first.
        if (holder.kind == InstanceHolder::kNobody) holder.kind = InstanceHolder::kCommand;
    }
    switch (holder.kind) {
    case InstanceHolder::kDaemon: {
        // The daemon goes on with the configuration it loaded: an edit must not
        // lock its user out, and is only told of.
        if (!warned_) {
            const std::string edited = UnusableValue(*conf_, CheckFor::kHere);
            if (!edited.empty()) fprintf(stderr, "WARNING: %s\n", edited.c_str());
            warned_ = true;
        }
        return Reach(start_of_all, refusal) ? kAtDaemon : kRefused;
    }
    case InstanceHolder::kUnusable:
        // A state file's lock that holds nothing keeps a command from running here.
        SetResult(refusal,
                  holder.state_lock && local ? TReturnCode::ERROR_CONFIGURE_CHECK_ERROR
                                             : TReturnCode::ERROR_CONNECTED_TO_SERVER,
                  holder.why);
        return kRefused;
    case InstanceHolder::kKeeper:
        SetResult(refusal, TReturnCode::ERROR_CONFIGURE_CHECK_ERROR, holder.why);
        return kRefused;
    case InstanceHolder::kOther:
        SetResult(refusal, TReturnCode::ERROR_CONNECTED_TO_SERVER,
                  "lock file " + lock_->path() + " is held by process " +
                      std::to_string(holder.pid) + ", which serves no control socket");
        return kRefused;
    case InstanceHolder::kCommand:
        SetResult(refusal, TReturnCode::ERROR_IS_OPERATEING,
                  "another command holds the instance lock " + lock_->path());
        return kRefused;
    case InstanceHolder::kNobody:
        break;
    }
    if (!local) {
        SetResult(refusal, TReturnCode::ERROR_CONNECTED_TO_SERVER,
                  "check tendwell is running or do you have auth.");
        return kRefused;
    }
    // The state file has one keeper: another instance's daemon or command keeps
    // this one off, before it has read anything, and so does a lock file that
    // holds nothing. Where there is no folder for one there is no state file
    // either, and where the file system takes no locks nothing can be held.
    state_lock_.reset(new StateLock(*conf_));
    pid_t keeper;
    std::string trouble;
    switch (state_lock_->Take(&keeper, &trouble)) {
    case StateLock::kKept:
        SetResult(refusal, TReturnCode::ERROR_CONFIGURE_CHECK_ERROR, state_lock_->KeptText(keeper));
        return kRefused;
    case StateLock::kUnusable:
        SetResult(refusal, TReturnCode::ERROR_CONFIGURE_CHECK_ERROR, trouble);
        return kRefused;
    case StateLock::kUnguarded:
        TW_WARNING("Decide", "%s", trouble.c_str());
        break;
    default:
        break;
    }
    // Run here, the command uses those values itself: judged here, in
    // change_directory, where it finds its files.
    const std::string unusable = UnusableValue(*conf_, CheckFor::kHere, uses);
    if (!unusable.empty()) {
        SetResult(refusal, TReturnCode::ERROR_CONFIGURE_CHECK_ERROR, unusable);
        return kRefused;
    }
    // The children of starts made here go through the gate program, as the
    // daemon's do; a command that starts nothing goes on without it.
    std::string why;
    std::string warning;
    if (!UseGateProgram(&why, &warning) && (uses & kUsesStart)) {
        SetResult(refusal, TReturnCode::ERROR_START_FAIL, why);
        return kRefused;
    }
    if (!warning.empty()) TW_WARNING("Decide", "%s", warning.c_str());
    ran_in_process_ = true;
    if (TendletManager::GetInstance()->Init(*conf_) != 0) {
        TW_WARNING("Init", "init tendlet manager fail");
        SetResult(refusal, TReturnCode::ERROR_PRCESS_MNG_INIT_FAIL, "init tendlet manager fail");
        return kRefused;
    }
    return kHere;
}

bool ProcessManager::Reach(bool start_of_all, TReturnResult* refusal) {
    const uint64_t start_ns = corvel::monotonic_ns();
    // A daemon that holds the instance puts its socket back within its look, or is
    // still making it.
    while (unix_rpc_manager_->DoConnectStuff() == TReturnCode::ERROR_CONNECTED_TO_SERVER &&
           !unix_rpc_manager_->NotSocket() && corvel::remaining_ms(start_ns, kPutBackMs) > 0) {
        corvel::sleep_ms(kRelookMs);
    }
    if (!unix_rpc_manager_->Connected()) return true;
    const pid_t daemon = unix_rpc_manager_->PeerPid();
    if (daemon == 0) return true;
    const uint64_t look_ns = corvel::monotonic_ns();
    pid_t keeper = 0;
    DaemonKeeping keeping;
    // What is not known yet may be a daemon following a link re-pointed above its
    // files: looked at until then. A daemon keeps the lock of a state file that went
    // until it holds the new one, so one that holds none at all never has one.
    while ((keeping = DaemonKeepsStateFile(*conf_, daemon, &keeper)) == DaemonKeeping::kNotKnown &&
           corvel::remaining_ms(look_ns, kPutBackMs) > 0) {
        corvel::sleep_ms(kRelookMs);
    }
    const std::string& socket_path = conf_->tendwell().unix_socket_path();
    // A state file name the checks refuse names no keeper's file: the warning has
    // told of it, and the daemon goes on with what it loaded.
    if (keeping == DaemonKeeping::kKeeps ||
        !UnusableValue(*conf_, CheckFor::kHere, kUsesNothing).empty()) {
        return true;
    }
    if (keeping == DaemonKeeping::kNoStateLock || keeping == DaemonKeeping::kUnguarded) {
        fprintf(stderr,
                "WARNING: daemon %d serving %s holds no lock of state file %s: it may keep "
                "another configuration\n",
                static_cast<int>(daemon), socket_path.c_str(), StateFilePath(*conf_).c_str());
        return true;
    }
    // Nothing is sent to a daemon of another configuration.
    unix_rpc_manager_->Close();
    const std::string kept_by = keeping == DaemonKeeping::kKeptByOther
                                    ? "is kept by process " + std::to_string(keeper)
                                    : "is kept by no process";
    SetResult(refusal,
              start_of_all ? TReturnCode::ERROR_ILLEGAL_PARAM
                           : TReturnCode::ERROR_CONFIGURE_CHECK_ERROR,
              "daemon " + std::to_string(daemon) + " serving " + socket_path +
                  " keeps another configuration: state file " + StateFilePath(*conf_) + " " +
                  kept_by + "; give each configuration its own unix_socket_path");
    return false;
}

void ProcessManager::Finish(Route route, const char* tag, const std::string& label,
                            const TReturnResult& result) {
    const int code = result.returnCode;
    const char* msg = result.returnMsg.c_str();
    if (route == kAtDaemon) {
        if (code != 0) {
            TW_WARNING(tag, "rpc %s fail, return:%d(%s)", label.c_str(), code, msg);
        } else {
            TW_NOTICE(tag, "unix rpc %s ok, return:%d(%s)", label.c_str(), code, msg);
        }
        return;
    }
    if (route == kHere) {
        TendletManager::GetInstance()->ShutdownKeeper();
        if (code == 0) {
            TW_NOTICE(tag, "tendlet controller %s ok, return:%d(%s)", label.c_str(), code, msg);
        } else {
            TW_WARNING(tag, "%s fail, return:%d(%s)", label.c_str(), code, msg);
        }
    }
    // The process table is saved by now: the state file is the next keeper's before
    // the lock file goes, so that whoever takes the instance lock next finds it free.
    if (state_lock_ != nullptr) state_lock_->Release();
    // The lock itself stays held until exit.
    if (lock_->HeldHere()) lock_->Remove();
}

void ProcessManager::AwaitDaemonGone(TReturnResult* reply) {
    // The client's own failures: the request may never have reached the daemon.
    if (UnixRpcManager::ClientFailure(reply->returnCode)) return;
    // A server worker would otherwise wait on this connection for a next request.
    unix_rpc_manager_->Close();
    // Only the daemon that answered is waited for: one that has ended holds nothing
    // of the instance, and a daemon started meanwhile is another. Its end takes its
    // end_cmd's time too.
    const pid_t daemon = unix_rpc_manager_->PeerPid();
    const int timeout_ms =
        unix_rpc_manager_->recv_timeout_ms() +
        (conf_->has_end_cmd() ? SecondsToMs<int32_t>(conf_->end_cmd_timeout_sec()) : 0);
    if (daemon == 0 || AwaitEnd(daemon, timeout_ms)) return;
    // It said yes, but has not gone: the stop is not done.
    const std::string& socket_path = conf_->tendwell().unix_socket_path();
    SetResult(reply, TReturnCode::ERROR_COMMNICATE_WITH_SERVER,
              "daemon " + std::to_string(daemon) +
                  (AwaitHolder(0).pid == daemon
                       ? " still holds the instance of " + socket_path + " after "
                       : " still runs, having let go of the instance of " + socket_path +
                             ", after ") +
                  std::to_string(timeout_ms) + " ms");
}

InstanceHolder ProcessManager::AwaitOtherHolder(pid_t daemon, uint64_t until_ns) {
    InstanceHolder holder = AwaitHolder(0);
    while (holder.kind == InstanceHolder::kDaemon && holder.pid == daemon &&
           corvel::monotonic_ns() < until_ns) {
        corvel::sleep_ms(kEndedLookMs);
        holder = AwaitHolder(0);
    }
    return holder;
}

TReturnResult ProcessManager::Start(int32_t timeout, uint64_t deadline_ns, bool* take_over) {
    TReturnResult result;
    Route route;
    // Who holds the instance once no daemon has answered.
    InstanceHolder holder;
    holder.kind = InstanceHolder::kDaemon;
    for (;;) {
        const uint64_t round_ns = corvel::monotonic_ns();
        result = TReturnResult();
        route = Decide(false, &result, kUsesNothing, true);
        if (route == kRefused) {
            // Refused for want of a daemon: the one that held the instance is gone.
            holder = AwaitHolder(0);
            break;
        }
        unix_rpc_manager_->Start(result, timeout);
        // An answer; or a path that holds no socket, where none will come.
        const bool ended = result.returnCode == TReturnCode::ERROR_COMMNICATE_WITH_SERVER;
        const bool stopping = result.returnCode == TReturnCode::ERROR_IS_STOPING;
        if ((result.returnCode != TReturnCode::ERROR_CONNECTED_TO_SERVER && !ended && !stopping) ||
            unix_rpc_manager_->NotSocket()) {
            break;
        }
        unix_rpc_manager_->Close();
        // No answer, or a daemon on its way out. A daemon that is coming up is asked
        // again in a second; one whose connection ended is looked at until it is gone
        // (it has died: this start takes its place) or another holds the instance,
        // and so is one that is stopping, for as long as this start may take. Looks
        // are few: a daemon that cannot clear what came to look at its claim
        // (stopped) would seem to hold it no more once its queue is full.
        const pid_t asked = unix_rpc_manager_->PeerPid();
        if (ended || stopping) {
            holder = AwaitOtherHolder(
                asked, stopping ? deadline_ns : std::min(deadline_ns, round_ns + kRoundNs));
        } else {
            corvel::sleep_ms(corvel::remaining_ms(round_ns, kRoundMs));
            holder = AwaitHolder(0);
        }
        // A daemon that lives on without answering in time, or no time left: the
        // last result stands.
        if (holder.kind != InstanceHolder::kDaemon || ((ended || stopping) && holder.pid == asked) ||
            corvel::monotonic_ns() >= deadline_ns) {
            break;
        }
    }
    *take_over = holder.kind == InstanceHolder::kNobody || holder.kind == InstanceHolder::kOther;
    // One that holds the instance and has never answered is named.
    if (route == kAtDaemon && holder.kind == InstanceHolder::kDaemon &&
        result.returnCode == TReturnCode::ERROR_CONNECTED_TO_SERVER &&
        !unix_rpc_manager_->NotSocket()) {
        result.returnMsg = "daemon " + std::to_string(holder.pid) + " holds the instance of " +
                           conf_->tendwell().unix_socket_path() + " and does not answer";
    }
    Finish(route, "Start", "start", result);
    return result;
}

TReturnResult ProcessManager::Stop(bool local, int32_t timeout) {
    TReturnResult result;
    const Route route = Decide(local, &result, kUsesStop);
    if (route == kAtDaemon) {
        unix_rpc_manager_->Stop(result, timeout);
        AwaitDaemonGone(&result);
    } else if (route == kHere) {
        result = TendletManager::GetInstance()->Stop();
    }
    Finish(route, "Stop", "stop", result);
    return result;
}

TReturnResult ProcessManager::Restart(bool local, int32_t timeout) {
    TReturnResult result;
    const Route route = Decide(local, &result, kUsesStart | kUsesStop | kUsesRestart);
    if (route == kAtDaemon) {
        unix_rpc_manager_->Restart(result, timeout);
    } else if (route == kHere) {
        result = TendletManager::GetInstance()->Restart();
    }
    Finish(route, "Restart", "restart", result);
    return result;
}

TReturnResult ProcessManager::Abort(bool local, int32_t timeout) {
    TReturnResult result;
    const Route route = Decide(local, &result);
    if (route == kAtDaemon) {
        unix_rpc_manager_->Abort(result, timeout);
        AwaitDaemonGone(&result);
    } else if (route == kHere) {
        result = TendletManager::GetInstance()->Abort();
    }
    Finish(route, "Abort", "abort", result);
    return result;
}

TReturnResult ProcessManager::Reload(bool local, int32_t timeout) {
    TReturnResult result;
    const Route route = Decide(local, &result, kUsesReload);
    if (route == kAtDaemon) {
        unix_rpc_manager_->Reload(result, timeout);
    } else if (route == kHere) {
        result = TendletManager::GetInstance()->Reload();
    }
    Finish(route, "Reload", "reload", result);
    return result;
}

TReturnResult ProcessManager::Check(std::vector<TTendletStatusInfo>& infos, bool local,
                                    int32_t timeout) {
    TTendletStatusResponse response;
    const Route route = Decide(local, &response.returnInfo);
    if (route == kAtDaemon) {
        unix_rpc_manager_->Check(response, timeout);
    } else if (route == kHere) {
        response = TendletManager::GetInstance()->Check();
    }
    Finish(route, "Check", "check", response.returnInfo);
    if (response.returnInfo.returnCode == 0) infos = response.statusInfo;
    return response.returnInfo;
}

TReturnResult ProcessManager::StartOne(const std::string& name, bool local, int32_t timeout) {
    TReturnResult result;
    const Route route = Decide(local, &result, kUsesStart);
    if (route == kAtDaemon) {
        unix_rpc_manager_->StartOne(result, name, timeout);
    } else if (route == kHere) {
        result = TendletManager::GetInstance()->StartOne(name);
    }
    Finish(route, "StartOne", "start " + name, result);
    return result;
}

TReturnResult ProcessManager::StopOne(const std::string& name, bool local, int32_t timeout) {
    TReturnResult result;
    const Route route = Decide(local, &result, kUsesStop);
    if (route == kAtDaemon) {
        unix_rpc_manager_->StopOne(result, name, timeout);
    } else if (route == kHere) {
        result = TendletManager::GetInstance()->StopOne(name);
    }
    Finish(route, "StopOne", "stop " + name, result);
    return result;
}

TReturnResult ProcessManager::RestartOne(const std::string& name, bool local, int32_t timeout) {
    TReturnResult result;
    const Route route = Decide(local, &result, kUsesStart | kUsesStop | kUsesRestart);
    if (route == kAtDaemon) {
        unix_rpc_manager_->RestartOne(result, name, timeout);
    } else if (route == kHere) {
        result = TendletManager::GetInstance()->RestartOne(name);
    }
    Finish(route, "RestartOne", "restart " + name, result);
    return result;
}

TReturnResult ProcessManager::ReloadOne(const std::string& name, bool local, int32_t timeout) {
    TReturnResult result;
    const Route route = Decide(local, &result, kUsesReload);
    if (route == kAtDaemon) {
        unix_rpc_manager_->ReloadOne(result, name, timeout);
    } else if (route == kHere) {
        result = TendletManager::GetInstance()->ReloadOne(name);
    }
    Finish(route, "ReloadOne", "reload " + name, result);
    return result;
}

TReturnResult ProcessManager::CheckOne(const std::string& name, TTendletStatusInfo& info,
                                       bool local, int32_t timeout) {
    TTendletStatusResponse response;
    const Route route = Decide(local, &response.returnInfo);
    if (route == kAtDaemon) {
        unix_rpc_manager_->CheckOne(response, name, timeout);
    } else if (route == kHere) {
        response = TendletManager::GetInstance()->CheckOne(name);
    }
    Finish(route, "CheckOne", "check " + name, response.returnInfo);
    if (response.returnInfo.returnCode != 0) return response.returnInfo;
    // A success that names no tendlet (or several) must not show as a blank row.
    if (response.statusInfo.size() != 1) {
        TReturnResult broken;
        broken.returnCode = TReturnCode::ERROR_INTERNAL;
        broken.returnMsg = "name:" + name + " check reply holds " +
                           std::to_string(response.statusInfo.size()) + " records";
        return broken;
    }
    info = response.statusInfo.front();
    return response.returnInfo;
}

}  // namespace tendwell
