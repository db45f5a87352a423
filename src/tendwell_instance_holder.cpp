#include "tendwell_instance_holder.h"

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
        return holder;
    case InstanceLock::kCommand:
        holder.kind = InstanceHolder::kCommand;
        break;
    case InstanceLock::kUnusable:
        holder.kind = InstanceHolder::kUnusable;
        holder.why = lock->why();
        return holder;
    case InstanceLock::kDaemon: {
        pid_t listener = 0;
        const bool serves = LookAtSocket(socket_path, &listener) == SocketState::kListening;
        holder.kind = InstanceHolder::kOther;
        holder.pid = lock->HolderPid();
        if (serves && listener == holder.pid && holder.pid != 0) {
            holder.kind = InstanceHolder::kDaemon;
        }
        return holder;
    }
    }
    holder.pid = lock->HolderPid();
    return holder;
}

}  // namespace tendwell
