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

// What a process holds write locks on, of one instance: the state file's lock
// (at its path or removed from it), the instance lock at its path or removed,
// any other file.
struct Holds {
    bool state = false;
    bool lock_here = false;
    bool lock_removed = false;
    bool other = false;
};

Holds HoldsOf(const std::vector<std::string>& files, const StateLock& state,
              const std::string& socket_path) {
    const std::string named = ResolvedPath(state.path());
    const std::string lock = ResolvedPath(LockFilePath(socket_path));
    Holds holds;
    for (const std::string& file : files) {
        if (file == named || file == named + " (deleted)") {
            holds.state = true;
        } else if (file == lock) {
            holds.lock_here = true;
        } else if (file == lock + " (deleted)") {
            holds.lock_removed = true;
        } else {
            holds.other = true;
        }
    }
    return holds;
}

// How daemon stands to the state file of state: asked of its lock, else of the
// locks daemon holds through its own descriptors.
DaemonKeeping KeepingOf(const StateLock& state, const std::string& socket_path, pid_t daemon,
                        pid_t* keeper) {
    std::string why;
    const StateLock::Status look = state.Keeper(keeper, &why);
    if (look == StateLock::kKept) {
        return *keeper == daemon ? DaemonKeeping::kKeeps : DaemonKeeping::kKeptByOther;
    }
    std::vector<std::string> files;
    if (!LockedFilesOf(daemon, &files)) return DaemonKeeping::kNotKnown;
    const Holds holds = HoldsOf(files, state, socket_path);
    if (holds.state) return DaemonKeeping::kKeeps;
    if (look == StateLock::kUnguarded) return DaemonKeeping::kUnguarded;
    if (!holds.other) return DaemonKeeping::kNoStateLock;
    return holds.lock_here ? DaemonKeeping::kKeepsAnother : DaemonKeeping::kNotKnown;
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
// that holds the lock of a file removed from its path, which the kernel's table
// gives with what it holds locks on (*found; its pid stays 0 otherwise). Asked by
// the holder of the lock itself, the kernel's table alone answers: any other look
// would drop it.
InstanceHolder FindStateKeeper(const StateLock& state, bool held_here, LockKeeper* found) {
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
        std::vector<LockKeeper> keepers = FindLockKeepers(state.path());
        if (keepers.empty()) return holder;
        *found = std::move(keepers.front());
        holder.pid = found->pid;
        break;
    }
    }
    holder.kind = InstanceHolder::kKeeper;
    holder.state_lock = true;
    holder.why = state.KeptText(holder.pid);
    return holder;
}

// What keeper, found keeping the state file of state, is to the instance of the
// control socket at socket_path: this instance's daemon serves the socket, or
// holds its lock file removed with the state file's. Told by the files the keeper
// holds locks on (found's, when found is that keeper): where they cannot be read,
// it is another configuration's.
Keeping KeeperOf(pid_t keeper, const LockKeeper& found, const StateLock& state,
                 const std::string& socket_path) {
    if (Serves(socket_path, keeper)) return Keeping::kDaemon;
    std::vector<std::string> files = found.files;
    if (keeper == 0 || (found.pid != keeper && !LockedFilesOf(keeper, &files))) {
        return Keeping::kKeeper;
    }
    const Holds holds = HoldsOf(files, state, socket_path);
    if (!holds.state) return Keeping::kLetGo;
    if (holds.lock_here) return Keeping::kThisInstance;
    return holds.lock_removed ? Keeping::kDaemon : Keeping::kKeeper;
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
                pid_t keeper;
                if (Serves(socket_path, holder.pid) ||
                    KeepingOf(state, socket_path, holder.pid, &keeper) == DaemonKeeping::kKeeps) {
                    holder.kind = InstanceHolder::kDaemon;
                    return holder;
                }
                // Another program: the state file may still have a keeper.
                holder.kind = InstanceHolder::kOther;
                break;
            }
        }
        LockKeeper found;
        InstanceHolder keeper = FindStateKeeper(state, own.state_lock, &found);
        if (keeper.kind != InstanceHolder::kKeeper) {
            return keeper.kind == InstanceHolder::kNobody ? holder : keeper;
        }
        switch (KeeperOf(keeper.pid, found, state, socket_path)) {
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
    return KeepingOf(StateLock(conf), conf.tendwell().unix_socket_path(), daemon, keeper);
}

}  // namespace tendwell
