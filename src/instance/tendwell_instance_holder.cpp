#include "instance/tendwell_instance_holder.h"

#include <algorithm>
#include <vector>

#include "corvel/clock.h"
#include "instance/tendwell_instance_claim.h"
#include "instance/tendwell_instance_lock.h"
#include "instance/tendwell_lock_table.h"
#include "instance/tendwell_resolved_path.h"
#include "instance/tendwell_socket_state.h"
#include "instance/tendwell_state_lock.h"
#include "tendwell_configure.h"

namespace tendwell {

namespace {

bool Serves(const std::string& socket_path, pid_t pid) {
    pid_t listener = 0;
    return pid != 0 && LookAtSocket(socket_path, &listener) == SocketState::kListening &&
           listener == pid;
}

// Whether one of files names path as the kernel resolves it, or a file removed
// from there.
bool Names(const std::vector<std::string>& files, const std::string& path) {
    const std::string named = ResolvedPath(path);
    return std::any_of(files.begin(), files.end(), [&](const std::string& file) {
        return file == named || file == named + " (deleted)";
    });
}

// Whether process pid keeps the state file whose lock is state.
bool KeepsStateFile(const StateLock& state, pid_t pid) {
    pid_t keeper;
    std::string why;
    if (state.Keeper(&keeper, &why) == StateLock::kKept) return keeper == pid;
    std::vector<std::string> files;
    return LockedFilesOf(pid, &files) && Names(files, state.path());
}

// What the state file's keeper, once found, is to this instance.
enum class Keeping {
    // It holds no lock of the state file any more: let go of since the look.
    kLetGo,
    // It holds this instance's lock file, at its path: a command or daemon of this
    // instance that took both since the look at the lock, which tells whose.
    kThisInstance,
    kDaemon,
    kKeeper,
};

// The keeper of the state file: its lock's holder, else a process of this user
// that holds the lock of a file removed from its path. Asked by the holder of the
// lock itself, the kernel's table alone answers: any other look would drop it.
InstanceHolder FindStateKeeper(const StateLock& state, bool held_here) {
    InstanceHolder holder;
    switch (held_here ? StateLock::kFree : state.Keeper(&holder.pid, &holder.why)) {
    case StateLock::kUnusable:
        holder.kind = InstanceHolder::kUnusable;
        holder.state_lock = true;
        return holder;
    case StateLock::kUnguarded:
        // Nothing can be told, nor held: the file system takes no locks.
        holder.why.clear();
        return holder;
    case StateLock::kKept:
        break;
    default: {
        const std::vector<pid_t> keepers = FindLockKeepers(state.path());
        if (keepers.empty()) return holder;
        holder.pid = keepers.front();
        break;
    }
    }
    holder.kind = InstanceHolder::kKeeper;
    holder.state_lock = true;
    return holder;
}

// What keeper, found keeping the state file of state, is to the instance of the
// control socket at socket_path: this instance's daemon serves the socket, or
// holds its lock file removed with the state file's. Told by the files the keeper
// holds locks on: where they cannot be read, it is another configuration's.
Keeping KeeperOf(pid_t keeper, const StateLock& state, const std::string& socket_path) {
    if (Serves(socket_path, keeper)) return Keeping::kDaemon;
    std::vector<std::string> files;
    if (keeper == 0 || !LockedFilesOf(keeper, &files)) return Keeping::kKeeper;
    if (!Names(files, state.path())) return Keeping::kLetGo;
    const std::string lock = ResolvedPath(LockFilePath(socket_path));
    if (std::find(files.begin(), files.end(), lock) != files.end()) return Keeping::kThisInstance;
    if (std::find(files.begin(), files.end(), lock + " (deleted)") != files.end()) {
        return Keeping::kDaemon;
    }
    return Keeping::kKeeper;
}

}  // namespace

InstanceHolder FindInstanceHolder(const PConfigure& conf, int wait_ms, const OwnHolds& own) {
    const std::string& socket_path = conf.tendwell().unix_socket_path();
    if (own.claim == nullptr || !own.claim->holding()) {
        InstanceClaim claim(socket_path);
        InstanceHolder holder;
        if (claim.HeldByUser()) {
            holder.kind = InstanceHolder::kDaemon;
            holder.pid = claim.holder_pid();
            return holder;
        }
        // Not to be taken for a free claim, nor for a daemon's.
        if (!claim.why().empty()) {
            holder.kind = InstanceHolder::kUnusable;
            holder.why = claim.why();
            return holder;
        }
    }
    const StateLock state(conf);
    InstanceLock lock(LockFilePath(socket_path));
    const uint64_t start_ns = corvel::monotonic_ns();
    for (int pass = 0;; ++pass) {
        InstanceHolder holder;
        if (!own.lock) {
            switch (lock.Await(corvel::remaining_ms(start_ns, wait_ms))) {
            case InstanceLock::kNobody:
                break;
            case InstanceLock::kCommand:
                holder.kind = InstanceHolder::kCommand;
                holder.pid = lock.HolderPid();
                return holder;
            case InstanceLock::kUnusable:
                holder.kind = InstanceHolder::kUnusable;
                holder.why = lock.why();
                return holder;
            case InstanceLock::kDaemon:
                holder.pid = lock.HolderPid();
                if (Serves(socket_path, holder.pid) || KeepsStateFile(state, holder.pid)) {
                    holder.kind = InstanceHolder::kDaemon;
                    return holder;
                }
                // Another program: the state file may still have a keeper.
                holder.kind = InstanceHolder::kOther;
                break;
            }
        }
        InstanceHolder keeper = FindStateKeeper(state, own.state_lock);
        if (keeper.kind != InstanceHolder::kKeeper) {
            return keeper.kind == InstanceHolder::kNobody ? holder : keeper;
        }
        keeper.why = state.KeptText(keeper.pid);
        switch (KeeperOf(keeper.pid, state, socket_path)) {
        case Keeping::kKeeper:
            return keeper;
        case Keeping::kDaemon:
            keeper.kind = InstanceHolder::kDaemon;
            keeper.state_lock = false;
            return keeper;
        case Keeping::kThisInstance:
            if (own.lock) return keeper;
            // Its hold of the lock file is looked at again, a command's waited out.
            if (pass == 0 || corvel::remaining_ms(start_ns, wait_ms) > 0) continue;
            keeper.kind = InstanceHolder::kCommand;
            keeper.state_lock = false;
            return keeper;
        case Keeping::kLetGo:
            if (pass == 0 || corvel::remaining_ms(start_ns, wait_ms) > 0) continue;
            return holder;
        }
    }
}

DaemonKeeping DaemonKeepsStateFile(const PConfigure& conf, pid_t daemon, pid_t* keeper) {
    const StateLock state(conf);
    std::string why;
    const StateLock::Status look = state.Keeper(keeper, &why);
    if (look == StateLock::kKept) {
        return *keeper == daemon ? DaemonKeeping::kKeeps : DaemonKeeping::kKeptByOther;
    }
    std::vector<std::string> files;
    if (!LockedFilesOf(daemon, &files)) return DaemonKeeping::kNotKnown;
    if (Names(files, state.path())) return DaemonKeeping::kKeeps;
    if (look == StateLock::kUnguarded) return DaemonKeeping::kUnguarded;
    const std::string lock = ResolvedPath(LockFilePath(conf.tendwell().unix_socket_path()));
    const bool holds_lock = std::find(files.begin(), files.end(), lock) != files.end();
    const bool holds_other = std::any_of(files.begin(), files.end(), [&](const std::string& file) {
        return file != lock && file != lock + " (deleted)";
    });
    if (!holds_other) return DaemonKeeping::kNoStateLock;
    return holds_lock ? DaemonKeeping::kKeepsAnother : DaemonKeeping::kNotKnown;
}

}  // namespace tendwell
