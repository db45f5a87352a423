// The claim on an instance: sockets in the abstract namespace, named after the
// control socket's path. The kernel lets one socket at a time hold a name, no file
// operation reaches it, and it goes only with its holder's last descriptor: the
// daemon that holds it owns the instance, whatever is done to the instance's
// files. Names are per network namespace, so the claim holds within one.
//
// A path may reach the socket's folder through links that are re-pointed while
// the daemon runs (a deploy), and may climb out of a link with "..": the claim is
// made under the path as written and under the path as the kernel resolves it, so
// that every start that meets the daemon by either way finds it claimed.
//
// Any process may bind a name in the abstract namespace: only a holder of this
// user is a daemon of this user's instance. A name that another user's process
// holds decides nothing: the daemon goes on without it, guarded by its lock
// files, and takes it once it is free. Whose a name is, is told by a connection
// while its holder listens with room in its queue, and otherwise by the kernel's
// record of the socket (tendwell_socket_owner.h): a name of this user's is this
// user's holder whether its queue is full or it does not listen, and one whose
// user cannot be told is looked at in vain (why()), never taken for free.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tendwell {

class InstanceClaim {
public:
    // The path as written, and as the kernel resolves it.
    static constexpr size_t kMaxNames = 2;

    // A name held by a process of another user; pid 0 when it cannot be seen.
    struct Squatter {
        std::string name;
        pid_t pid;
        uid_t uid;
    };

    // The claim of the control socket at socket_path, a relative path being taken
    // from the working directory now.
    explicit InstanceClaim(const std::string& socket_path);
    ~InstanceClaim();
    InstanceClaim(const InstanceClaim&) = delete;
    InstanceClaim& operator=(const InstanceClaim&) = delete;

    // "tendwell:" and the digest of each path of the socket, in byte order: as
    // written (absolute, with "//" and "." dropped and ".." kept) and as the
    // kernel resolves it (the links of its folder resolved, in the part that
    // exists; the last name never followed). One name where the two agree.
    const std::vector<std::string>& names() const { return names_; }

    // Binds every name it can, in byte order, and listens. True once no process of
    // this user holds one: the names that squatters hold are left (squatters()
    // says which and whose) for TakeMissing. False, holding none, when a process
    // of this user holds one (why() is then empty), or when one cannot be made or
    // its holder cannot be told (why() says why).
    bool Take();
    // Takes, without waiting, the names not held here that are free now: the
    // running daemon's look. The names newly taken; squatters() then says who
    // holds the others.
    std::vector<std::string> TakeMissing();
    const std::vector<Squatter>& squatters() const { return squatters_; }
    // In a child forked from the process that took the claim: listens again, so
    // that whoever looks at the holder finds this process.
    void Renew();
    // Lets go of the claim here; it goes once no other process has it open.
    void Release();
    // Accepts and closes what connected to look at the holder, at most 64 of all
    // names together. Where descriptors have run out, the descriptor kept in
    // reserve makes room for one, and the connection taken in its place, shut
    // down, is the reserve from then on. True when something may be left
    // waiting: a full batch, no descriptor to be had, or a queue that cannot be
    // cleared. The caller then leaves the claim for a while, so that no flood of
    // looks keeps it busy.
    bool Dismiss();
    // Whether a process of this user holds one of the names (this one included):
    // holder_pid() then says whose (0 when it cannot be seen). Connects, sends
    // nothing. False with why() saying so when the holder of a name cannot be told.
    bool HeldByUser();

    // Whether this process holds a name.
    bool holding() const;
    // The descriptor of each name, -1 for one not held here; readable when
    // something connected.
    const std::vector<int>& fds() const { return fds_; }
    pid_t holder_pid() const { return holder_pid_; }
    const std::string& why() const { return why_; }

private:
    enum class Look { kFree, kHeld, kUnknown };
    enum class Got { kTaken, kUsers, kSquatted, kFailed };
    // Binds and listens on names_[i].
    Got TakeName(size_t i);
    // Who holds name (holder_pid_, holder_uid_): connects, and asks the kernel's
    // record of the socket where the connection cannot tell. kUnknown with why_.
    Look LookAtHolder(const std::string& name);
    // Opens the reserve where it is missing and a descriptor is free.
    void KeepReserve();
    // Dismisses what waits at listener while *dismissed is under the batch,
    // counting each; true once its queue is found empty.
    bool ClearQueue(int listener, size_t* dismissed);

    std::vector<std::string> names_;
    std::vector<int> fds_;
    std::vector<Squatter> squatters_;
    // Opened with the first name taken; given up when an accept meets the
    // descriptor limit, for the connection it made room for. -1 when that room
    // went to another thread: opened again at the next Dismiss that finds one.
    int reserve_fd_ = -1;
    // Of the holder last looked at; 0 and -1 while unknown.
    pid_t holder_pid_ = 0;
    uid_t holder_uid_ = static_cast<uid_t>(-1);
    std::string why_;
};

}  // namespace tendwell
