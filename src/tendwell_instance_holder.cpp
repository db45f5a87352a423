#include "tendwell_instance_holder.h"

#include "tendwell_configure.h"
#include "tendwell_instance_claim.h"
#include "tendwell_instance_lock.h"
#include "tendwell_socket_state.h"

namespace tendwell {

InstanceHolder FindInstanceHolder(InstanceClaim* claim, InstanceLock* lock,
                                  const std::string& socket_path, int wait_ms) {
    InstanceHolder holder;
    if (!claim->holding()) {
        if (claim->HeldByUser()) {
            holder.kind = InstanceHolder::kDaemon;
            holder.pid = claim->holder_pid();
            return holder;
        }
        // Not to be taken for a free claim, nor for a daemon's.
        if (!claim->why().empty()) {
            holder.kind = InstanceHolder::kUnusable;
            holder.why = claim->why();
            return holder;
        }
    }
    switch (lock->Await(wait_ms)) {
    case InstanceLock::kNobody:
        break;
    case InstanceLock::kCommand:
        holder.kind = InstanceHolder::kCommand;
        holder.pid = lock->HolderPid();
        break;
    case InstanceLock::kUnusable:
        holder.kind = InstanceHolder::kUnusable;
        holder.why = lock->why();
        break;
    case InstanceLock::kDaemon: {
        holder.pid = lock->HolderPid();
        pid_t listener = 0;
        const bool serves = LookAtSocket(socket_path, &listener) == SocketState::kListening;
        const bool daemon = serves && listener == holder.pid && holder.pid != 0;
        holder.kind = daemon ? InstanceHolder::kDaemon : InstanceHolder::kOther;
        break;
    }
    }
    return holder;
}

InstanceHolder FindInstanceHolder(const std::string& socket_path, int wait_ms) {
    InstanceClaim claim(socket_path);
    InstanceLock lock(LockFilePath(socket_path));
    return FindInstanceHolder(&claim, &lock, socket_path, wait_ms);
}

}  // namespace tendwell
