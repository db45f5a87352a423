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
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tendwell {

class InstanceClaim {
public:
    // The path as written, and as the kernel resolves it.
    static constexpr size_t kMaxNames = 2;

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

    // Binds every name, in byte order, and listens: true once this process holds
    // them all. False, holding none, when another socket holds one (held_name(),
    // holder_pid() and holder_uid() then say which and whose when its holder can be
    // asked, and why() is empty), or when one cannot be made (why() says why).
    bool Take();
    // In a child forked from the process that took the claim: listens again, so
    // that whoever looks at the holder finds this process.
    void Renew();
    // Lets go of the claim here; it goes once no other process has it open.
    void Release();
    // Accepts and closes what connected to look at the holder.
    void Dismiss();
    // Whether a process of this user holds one of the names (this one included):
    // held_name() and holder_pid() then say which and whose. Connects, sends
    // nothing. What cannot be told, holder or user, counts as this user's.
    bool HeldByUser();

    bool holding() const { return !fds_.empty(); }
    // The descriptors of the names held, readable when something connected;
    // empty while not holding.
    const std::vector<int>& fds() const { return fds_; }
    const std::string& held_name() const { return held_name_; }
    pid_t holder_pid() const { return holder_pid_; }
    uid_t holder_uid() const { return holder_uid_; }
    const std::string& why() const { return why_; }

private:
    enum class Look { kFree, kHeld, kUnknown };
    // Binds and listens on name: its descriptor, or -1 (why_ says why, empty
    // when another socket holds it).
    int TakeName(const std::string& name);
    // Connects to name: who holds it, as far as it can be told.
    Look LookAtHolder(const std::string& name);

    std::vector<std::string> names_;
    std::vector<int> fds_;
    // Of the name last found held, and its holder; empty, 0 and -1 while unknown.
    std::string held_name_;
    pid_t holder_pid_ = 0;
    uid_t holder_uid_ = static_cast<uid_t>(-1);
    std::string why_;
};

}  // namespace tendwell
