// The command line's single way to the commands when this process is not the
// daemon: each command goes to the live daemon when one holds the instance lock,
// runs in this process on the saved process table when the caller allows it,
// and is refused otherwise.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "tendwell/protocal/TendwellSlave_types.h"

namespace tendwell {

class PConfigure;
class TendletManager;
class UnixRpcManager;

class ProcessManager {
public:
    static ProcessManager* GetInstance();
    ~ProcessManager();
    ProcessManager(const ProcessManager&) = delete;
    ProcessManager& operator=(const ProcessManager&) = delete;

    // Loads conf_path into the manager's own configuration, makes the RPC client
    // and the tendlet records. 0, the loader's code, 11 or 21. The directories
    // are checked where a daemon started with the -c directory change_dir
    // (empty when not given) would have them.
    int32_t InitWithoutProcessKeeper(const std::string& conf_path, const std::string& change_dir);

    // Only ever sent to the daemon; one that holds the lock but does not answer
    // yet is asked again once a second, up to cmd_start_timeo_s times.
    TReturnResult Start(int32_t timeout);
    // local: permission to run the command here when no daemon is alive.
    TReturnResult Stop(bool local, int32_t timeout);
    TReturnResult Restart(bool local, int32_t timeout);
    TReturnResult Abort(bool local, int32_t timeout);
    TReturnResult Reload(bool local, int32_t timeout);
    // infos is replaced by the statuses on success and left alone otherwise.
    TReturnResult Check(std::vector<TTendletStatusInfo>& infos, bool local, int32_t timeout);

    TReturnResult StartOne(const std::string& name, bool local, int32_t timeout);
    TReturnResult StopOne(const std::string& name, bool local, int32_t timeout);
    TReturnResult RestartOne(const std::string& name, bool local, int32_t timeout);
    TReturnResult ReloadOne(const std::string& name, bool local, int32_t timeout);
    // info is set on success; a reply that does not hold exactly one record is
    // ERROR_INTERNAL.
    TReturnResult CheckOne(const std::string& name, TTendletStatusInfo& info, bool local,
                           int32_t timeout);

    // True once a command ran in this process: the keeper's threads then live on,
    // so the process must end without running exit handlers.
    bool RanInProcess() const { return ran_in_process_; }

private:
    ProcessManager();

    std::string LockPath() const;
    bool DaemonAlive() const;
    // After the daemon's reply to a stop or abort of all tendlets: waits, up to
    // the receive time-out, until the daemon that held the instance lock has let
    // go of it, so that a start at once finds no daemon.
    void AwaitDaemonGone(const TReturnResult& reply);
    // Runs one command by the three-way rule; tag and label name it in log lines.
    template <typename Reply, typename Remote, typename InProcess>
    Reply Dispatch(const std::string& tag, const std::string& label, bool local, Remote remote,
                   InProcess in_process);
    // Dispatch of a command on all tendlets, and on the one named. ends_daemon:
    // the daemon exits once it has answered.
    template <typename Reply>
    Reply ForAll(const char* word, bool local, int32_t timeout,
                 void (UnixRpcManager::*remote)(Reply&, int32_t),
                 Reply (TendletManager::*in_process)(), bool ends_daemon = false);
    template <typename Reply>
    Reply ForOne(const char* word, const std::string& name, bool local, int32_t timeout,
                 void (UnixRpcManager::*remote)(Reply&, const std::string&, int32_t),
                 Reply (TendletManager::*in_process)(const std::string&));

    // Declared in this order so that the client goes before the configuration.
    std::unique_ptr<PConfigure> conf_;
    std::unique_ptr<UnixRpcManager> unix_rpc_manager_;
    bool ran_in_process_ = false;
};

}  // namespace tendwell
