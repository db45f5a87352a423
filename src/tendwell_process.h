// The command line's single way to the commands when this process is not the
// daemon: each command goes to the live daemon when one holds the instance lock,
// runs in this process on the saved process table when the caller allows it,
// and is refused otherwise.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "instance/tendwell_instance_holder.h"
#include "instance/tendwell_instance_lock.h"
#include "instance/tendwell_state_lock.h"
#include "tendwell/protocal/TendwellSlave_types.h"
#include "tendwell_configure.h"

namespace tendwell {

class PConfigure;
class UnixRpcManager;

class ProcessManager {
public:
    static ProcessManager* GetInstance();
    ~ProcessManager();
    ProcessManager(const ProcessManager&) = delete;
    ProcessManager& operator=(const ProcessManager&) = delete;

    // Takes the configuration the command line loaded from conf_path (it must
    // outlive the manager's use), makes the RPC client and the tendlet records.
    // 0, 11 (the base rules) or 21. What the further checks find of the values a
    // command uses is told when it goes to the daemon, and refuses it (11) when
    // it is to run here.
    int32_t InitWithoutProcessKeeper(const PConfigure& conf, const std::string& conf_path);

    // Only ever sent to the daemon; one that holds the instance but does not
    // answer yet is asked again once a second until deadline_ns (monotonic), and
    // is named in the result when it never does. One that is stopping is waited
    // for until then. Where the daemon is gone without an answer, or has
    // stopped, and no other holds the instance, *take_over is set: the caller
    // may take its place.
    TReturnResult Start(int32_t timeout, uint64_t deadline_ns, bool* take_over);
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
    // Where a command runs.
    enum Route { kAtDaemon, kHere, kRefused };

    ProcessManager();

    // Who holds the instance (tendwell_instance_holder.h), another command's hold
    // of the lock being waited out for at most wait_ms.
    InstanceHolder AwaitHolder(int wait_ms);
    // Who holds the instance once daemon, whose connection ended or which is
    // stopping, holds it no more, or at until_ns (monotonic).
    InstanceHolder AwaitOtherHolder(pid_t daemon, uint64_t until_ns);
    // The one decision, made on AwaitHolder: at the daemon that holds the
    // instance, once it is reached and seen to keep this configuration's state
    // file; here, with the lock and the state file's lock taken and the tendlet
    // manager started with the keeper, when local allows it and no daemon is
    // alive; otherwise refused, with *refusal saying why. uses says what the
    // command uses of the configuration (Uses): what the further checks find of
    // those values refuses it here (11), and is only told, on standard error, at
    // the daemon; a command that starts tendlets is refused here too when the gate
    // program cannot be used. start_of_all: "start" of all tendlets.
    Route Decide(bool local, TReturnResult* refusal, unsigned uses = kUsesNothing,
                 bool start_of_all = false);
    // Connects to the daemon, looking again while it holds the instance and its
    // socket is not back yet, for up to twice its look after its files; then tells
    // whether the daemon that answered keeps this configuration's state file
    // (DaemonKeepsStateFile): true when it does, or holds no state file's lock at
    // all (a daemon of a version without it, or on a file system without locks:
    // said in a warning). Another keeper of the state file, a daemon that holds
    // the lock of another state file beside this socket's lock file, or, after
    // that look, one not known to keep it: false, with *refusal 4 for "start" of
    // all and 11 for the other commands. A connect that fails all the same is the
    // call's to tell: true.
    bool Reach(bool start_of_all, TReturnResult* refusal);
    // Logs how a command ended; after one run here, shuts the keeper down and
    // removes the lock file (the lock itself lasts until exit).
    void Finish(Route route, const char* tag, const std::string& label,
                const TReturnResult& result);
    // After the daemon's reply to a stop or abort of all tendlets: waits, up to
    // the receive time-out (and its end_cmd's), until the daemon that answered
    // holds the instance no more and has ended, so that a start at once finds
    // none. One still there then turns the reply into a failure (13) that names
    // it: the stop is not done.
    void AwaitDaemonGone(TReturnResult* reply);

    const PConfigure* conf_ = nullptr;
    std::unique_ptr<InstanceLock> lock_;
    // Held for the whole of a command run here.
    std::unique_ptr<StateLock> state_lock_;
    std::unique_ptr<UnixRpcManager> unix_rpc_manager_;
    bool ran_in_process_ = false;
    // Once the edited configuration has been told of: a start asks in rounds.
    bool warned_ = false;
};

}  // namespace tendwell
