// The claim on an instance: a socket in the abstract namespace, named after the
// control socket's path. The kernel lets one socket at a time hold a name, no file
// operation reaches it, and it goes only with its holder's last descriptor: the
// daemon that holds it owns the instance, whatever is done to the instance's
// files. Names are per network namespace, so the claim holds within one.
#pragma once

#include <sys/types.h>

#include <string>

namespace tendwell {

class InstanceClaim {
public:
    // The claim of the control socket at socket_path, a relative path being taken
    // from the working directory now.
    explicit InstanceClaim(const std::string& socket_path);
    ~InstanceClaim();
    InstanceClaim(const InstanceClaim&) = delete;
    InstanceClaim& operator=(const InstanceClaim&) = delete;

    // "tendwell:" and the digest of the socket's path: absolute, cleaned, and with
    // the links resolved in the directories that exist.
    const std::string& name() const { return name_; }

    // Binds the name and listens: true once this process holds the claim. False
    // when another socket holds it (why() is then empty, and holder_pid() and
    // holder_uid() say whose when its holder can be asked), or when it cannot be
    // made (why() says why).
    bool Take();
    // In a child forked from the process that took the claim: listens again, so
    // that whoever looks at the holder finds this process.
    void Renew();
    // Lets go of the claim here; it goes once no other process has it open.
    void Release();
    // Accepts and closes what connected to look at the holder.
    void Dismiss();
    // Whether a process holds the claim (this one included); connects, sends nothing.
    bool HeldByAny();

    bool holding() const { return fd_ >= 0; }
    // Readable when something connected; -1 while not holding.
    int fd() const { return fd_; }
    pid_t holder_pid() const { return holder_pid_; }
    uid_t holder_uid() const { return holder_uid_; }
    const std::string& why() const { return why_; }

private:
    enum class Look { kFree, kHeld, kUnknown };
    // Connects to the name: who holds it, as far as it can be told.
    Look LookAtHolder();

    std::string name_;
    int fd_ = -1;
    // Of the holder last looked at; 0 and -1 while unknown.
    pid_t holder_pid_ = 0;
    uid_t holder_uid_ = static_cast<uid_t>(-1);
    std::string why_;
};

}  // namespace tendwell
