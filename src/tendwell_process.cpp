#include "tendwell_process.h"

#include <assert.h>
#include <ctype.h>
#include <stdio.h>

#include "corvel/clock.h"
#include "tendwell/protocal/TendwellConfigure.pb.h"
#include "tendwell_configure.h"
#include "tendwell_tendlet_manager.h"
#include "tendwell_unix_rpc_manager.h"
#include "tendwell_unix_server.h"
#include "tendwell_utility.h"

namespace tendwell {

namespace {

// How often a stopping daemon's lock is looked at.
constexpr int kLockLookMs = 1;

// The log tag of a command: "Stop" for "stop" on all tendlets, "StopOne" on one.
std::string MethodTag(const char* word, bool one) {
    std::string tag(word);
    tag[0] = static_cast<char>(toupper(static_cast<unsigned char>(tag[0])));
    return one ? tag + "One" : tag;
}

// The log line of a command's answer from the daemon.
void LogRemoteResult(const std::string& tag, const std::string& label,
                     const TReturnResult& result) {
    if (result.returnCode != 0) {
        TW_WARNING(tag.c_str(), "rpc %s fail, return:%d(%s)", label.c_str(), result.returnCode,
                   result.returnMsg.c_str());
    } else {
        TW_NOTICE(tag.c_str(), "unix rpc %s ok, return:%d(%s)", label.c_str(), result.returnCode,
                  result.returnMsg.c_str());
    }
}

}  // namespace

ProcessManager* ProcessManager::GetInstance() {
    // Never destroyed: the process ends right after its one command.
    static ProcessManager* instance = new ProcessManager();
    return instance;
}

ProcessManager::ProcessManager() : conf_(new PConfigure()) {}

ProcessManager::~ProcessManager() = default;

int32_t ProcessManager::InitWithoutProcessKeeper(const std::string& conf_path,
                                                 const std::string& change_dir) {
    int32_t ret = TendwellGetConfigureFromFile(conf_path, conf_.get());
    if (ret != 0) {
        fprintf(stderr, "[Init]TendwellGetConfigureFromFile %s fail, return:%d\n",
                conf_path.c_str(), ret);
        return ret;
    }
    // The loader has filled it in: a loaded configuration always names its socket.
    const std::string& socket_path = conf_->tendwell().unix_socket_path();
    unix_rpc_manager_.reset(new UnixRpcManager(socket_path.c_str()));
    unix_rpc_manager_->SetRecvTimeout(static_cast<int64_t>(conf_->cmd_operate_timeout_sec()) * 1000);
    if (!CheckConfigure(*conf_, DaemonWorkDir(*conf_, change_dir))) {
        TW_WARNING("Init", "Configure check error, please check your configure:%s.",
                   conf_path.c_str());
        return TReturnCode::ERROR_CONFIGURE_CHECK_ERROR;
    }
    TW_NOTICE("Init", "unix socket addr is:%s, init ok.", socket_path.c_str());
    if (TendletManager::GetInstance()->InitWithoutProcessKeeper(*conf_) != 0) {
        TW_WARNING("Init", "init tendlet manager fail");
        return TReturnCode::ERROR_PRCESS_MNG_INIT_FAIL;
    }
    TW_NOTICE("Init", "InitWithoutProcessKeeper ok.");
    return 0;
}

std::string ProcessManager::LockPath() const {
    return LockFilePath(conf_->tendwell().unix_socket_path());
}

bool ProcessManager::DaemonAlive() const { return CheckiSocketFileListen(LockPath()); }

void ProcessManager::AwaitDaemonGone(const TReturnResult& reply) {
    // The client's own failures: the request may never have reached the daemon.
    if (reply.returnCode == TReturnCode::ERROR_CONNECTED_TO_SERVER ||
        reply.returnCode == TReturnCode::ERROR_GETHOSTNAME_FAIL ||
        reply.returnCode == TReturnCode::ERROR_COMMNICATE_WITH_SERVER) {
        return;
    }
    // A server worker would otherwise wait on this connection for a next request.
    unix_rpc_manager_->Close();
    const std::string lock_path = LockPath();
    // A daemon started meanwhile holds a lock of its own: only this one is waited for.
    const pid_t daemon = LockHolder(lock_path);
    const uint64_t start_ns = corvel::monotonic_ns();
    const int timeout_ms = unix_rpc_manager_->recv_timeout_ms();
    while (daemon != 0 && LockHolder(lock_path) == daemon) {
        if (corvel::remaining_ms(start_ns, timeout_ms) == 0) {
            TW_WARNING("AwaitDaemonGone", "daemon %d still holds %s after %d ms",
                       static_cast<int>(daemon), lock_path.c_str(), timeout_ms);
            return;
        }
        corvel::sleep_ms(kLockLookMs);
    }
}

template <typename Reply, typename Remote, typename InProcess>
Reply ProcessManager::Dispatch(const std::string& tag, const std::string& label, bool local,
                               Remote remote, InProcess in_process) {
    assert(unix_rpc_manager_ != nullptr);
    Reply reply;
    TReturnResult& result = ResultOf(reply);
    bool to_daemon = DaemonAlive();
    // Running here, this process holds the instance lock for the whole command,
    // so that no daemon starts the same tendlets meanwhile; when the lock is
    // taken already, a daemon has just come up and gets the command instead. A
    // lock file that cannot be made at all leaves the command to run unlocked.
    if (!to_daemon && local && !ThriftUnixServer::LockFileAt(LockPath())) {
        to_daemon = DaemonAlive();
    }
    if (to_daemon) {
        remote(reply);
        LogRemoteResult(tag, label, result);
        return reply;
    }
    if (!local) {
        result.returnCode = TReturnCode::ERROR_CONNECTED_TO_SERVER;
        result.returnMsg = "check tendwell is running or do you have auth.";
        return reply;
    }
    ran_in_process_ = true;
    if (TendletManager::GetInstance()->Init(*conf_) != 0) {
        TW_WARNING("Init", "init tendlet manager fail");
        result.returnCode = TReturnCode::ERROR_PRCESS_MNG_INIT_FAIL;
        result.returnMsg = "init tendlet manager fail";
    } else {
        reply = in_process();
        TendletManager::GetInstance()->ShutdownKeeper();
        if (result.returnCode == 0) {
            TW_NOTICE(tag.c_str(), "tendlet controller %s ok, return:%d(%s)", label.c_str(),
                      result.returnCode, result.returnMsg.c_str());
        } else {
            TW_WARNING(tag.c_str(), "%s fail, return:%d(%s)", label.c_str(), result.returnCode,
                       result.returnMsg.c_str());
        }
    }
    // The process table is saved by now; the lock itself stays held until exit.
    ThriftUnixServer::RemoveLockFileAt(LockPath());
    return reply;
}

TReturnResult ProcessManager::Start(int32_t timeout) {
    assert(unix_rpc_manager_ != nullptr);
    TReturnResult result;
    unix_rpc_manager_->Start(result, timeout);
    // A daemon that holds the lock but does not answer yet is still coming up (a
    // start racing this one may have just forked it): ask it again once a
    // second, for as many rounds as a start's foreground waits.
    for (uint32_t round = 0; result.returnCode == TReturnCode::ERROR_CONNECTED_TO_SERVER &&
                             round < conf_->cmd_start_timeo_s();
         ++round) {
        corvel::sleep_ms(1000);
        if (!DaemonAlive()) break;
        result = TReturnResult();
        unix_rpc_manager_->Start(result, timeout);
    }
    LogRemoteResult("Start", "start", result);
    return result;
}

template <typename Reply>
Reply ProcessManager::ForAll(const char* word, bool local, int32_t timeout,
                             void (UnixRpcManager::*remote)(Reply&, int32_t),
                             Reply (TendletManager::*in_process)(), bool ends_daemon) {
    return Dispatch<Reply>(
        MethodTag(word, false), word, local,
        [&](Reply& r) {
            (unix_rpc_manager_.get()->*remote)(r, timeout);
            if (ends_daemon) AwaitDaemonGone(ResultOf(r));
        },
        [&] { return (TendletManager::GetInstance()->*in_process)(); });
}

template <typename Reply>
Reply ProcessManager::ForOne(const char* word, const std::string& name, bool local,
                             int32_t timeout,
                             void (UnixRpcManager::*remote)(Reply&, const std::string&, int32_t),
                             Reply (TendletManager::*in_process)(const std::string&)) {
    return Dispatch<Reply>(
        MethodTag(word, true), std::string(word) + " " + name, local,
        [&](Reply& r) { (unix_rpc_manager_.get()->*remote)(r, name, timeout); },
        [&] { return (TendletManager::GetInstance()->*in_process)(name); });
}

TReturnResult ProcessManager::Stop(bool local, int32_t timeout) {
    return ForAll("stop", local, timeout, &UnixRpcManager::Stop, &TendletManager::Stop, true);
}

TReturnResult ProcessManager::Restart(bool local, int32_t timeout) {
    return ForAll("restart", local, timeout, &UnixRpcManager::Restart, &TendletManager::Restart);
}

TReturnResult ProcessManager::Abort(bool local, int32_t timeout) {
    return ForAll("abort", local, timeout, &UnixRpcManager::Abort, &TendletManager::Abort, true);
}

TReturnResult ProcessManager::Reload(bool local, int32_t timeout) {
    return ForAll("reload", local, timeout, &UnixRpcManager::Reload, &TendletManager::Reload);
}

TReturnResult ProcessManager::Check(std::vector<TTendletStatusInfo>& infos, bool local,
                                    int32_t timeout) {
    TTendletStatusResponse response =
        ForAll("check", local, timeout, &UnixRpcManager::Check, &TendletManager::Check);
    if (response.returnInfo.returnCode == 0) {
        infos = response.statusInfo;
    }
    return response.returnInfo;
}

TReturnResult ProcessManager::StartOne(const std::string& name, bool local, int32_t timeout) {
    return ForOne("start", name, local, timeout, &UnixRpcManager::StartOne,
                  &TendletManager::StartOne);
}

TReturnResult ProcessManager::StopOne(const std::string& name, bool local, int32_t timeout) {
    return ForOne("stop", name, local, timeout, &UnixRpcManager::StopOne,
                  &TendletManager::StopOne);
}

TReturnResult ProcessManager::RestartOne(const std::string& name, bool local, int32_t timeout) {
    return ForOne("restart", name, local, timeout, &UnixRpcManager::RestartOne,
                  &TendletManager::RestartOne);
}

TReturnResult ProcessManager::ReloadOne(const std::string& name, bool local, int32_t timeout) {
    return ForOne("reload", name, local, timeout, &UnixRpcManager::ReloadOne,
                  &TendletManager::ReloadOne);
}

TReturnResult ProcessManager::CheckOne(const std::string& name, TTendletStatusInfo& info,
                                       bool local, int32_t timeout) {
    TTendletStatusResponse response = ForOne("check", name, local, timeout,
                                             &UnixRpcManager::CheckOne, &TendletManager::CheckOne);
    if (response.returnInfo.returnCode != 0) {
        return response.returnInfo;
    }
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
