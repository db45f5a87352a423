// The process-keeper operations the tendlet manager relies on, behind an
// interface so that the manager's rules can be exercised without real processes.
#pragma once

#include <stdint.h>

#include <map>
#include <string>

#include "keeper/process_keeper.h"

namespace tendwell {

class KeeperPort {
public:
    virtual ~KeeperPort() = default;
    virtual bool Init(const std::string& save_path) = 0;
    virtual void GetAll(std::map<std::string, ProcessKeeper::Process>* out) = 0;
    virtual bool Add(const ProcessKeeper::Process& process, std::string* msg) = 0;
    virtual bool Remove(const std::string& name, std::string* msg) = 0;
    virtual bool Start(const std::string& name, uint32_t timeout_ms, std::string* msg) = 0;
    virtual bool Stop(const std::string& name, uint32_t timeout_ms, std::string* msg) = 0;
    virtual bool Restart(const std::string& name, uint32_t timeout_ms, std::string* msg) = 0;
    virtual bool Signal(const std::string& name, int signo, std::string* msg) = 0;
    // Wait status of a shell command run with a time-out; 0 is success.
    virtual int Exec(const std::string& command, int32_t timeout_ms) = 0;
    virtual bool Shutdown() = 0;
};

// The production port: every call goes to the process-wide ProcessKeeper.
class ProcessKeeperPort final : public KeeperPort {
public:
    static ProcessKeeperPort* GetInstance();

    bool Init(const std::string& save_path) override;
    void GetAll(std::map<std::string, ProcessKeeper::Process>* out) override;
    bool Add(const ProcessKeeper::Process& process, std::string* msg) override;
    bool Remove(const std::string& name, std::string* msg) override;
    bool Start(const std::string& name, uint32_t timeout_ms, std::string* msg) override;
    bool Stop(const std::string& name, uint32_t timeout_ms, std::string* msg) override;
    bool Restart(const std::string& name, uint32_t timeout_ms, std::string* msg) override;
    bool Signal(const std::string& name, int signo, std::string* msg) override;
    int Exec(const std::string& command, int32_t timeout_ms) override;
    bool Shutdown() override;
};

}  // namespace tendwell
