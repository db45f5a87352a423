#include "tendwell_keeper_port.h"

#include "tendwell_utility.h"

namespace tendwell {

ProcessKeeperPort* ProcessKeeperPort::GetInstance() {
    static ProcessKeeperPort port;
    return &port;
}

bool ProcessKeeperPort::Init(const std::string& save_path) {
    ProcessKeeper* keeper = ProcessKeeper::GetInstance();
    // The keeper writes no log of its own: its warnings go to the process log.
    keeper->SetWarningSink([](const char* operation, const std::string& text) {
        TW_WARNING(operation, "%s", text.c_str());
    });
    return keeper->Init(save_path);
}

void ProcessKeeperPort::GetAll(std::map<std::string, ProcessKeeper::Process>* out) {
    ProcessKeeper::GetInstance()->GetAll(out);
}

bool ProcessKeeperPort::Add(const ProcessKeeper::Process& process, std::string* msg) {
    return ProcessKeeper::GetInstance()->Add(process, msg);
}

bool ProcessKeeperPort::Remove(const std::string& name, std::string* msg) {
    return ProcessKeeper::GetInstance()->Remove(name, msg);
}

bool ProcessKeeperPort::Start(const std::string& name, uint32_t timeout_ms, std::string* msg) {
    return ProcessKeeper::GetInstance()->Start(name, timeout_ms, msg);
}

bool ProcessKeeperPort::Stop(const std::string& name, uint32_t timeout_ms, std::string* msg) {
    return ProcessKeeper::GetInstance()->Stop(name, timeout_ms, msg);
}

bool ProcessKeeperPort::Restart(const std::string& name, uint32_t timeout_ms, std::string* msg) {
    return ProcessKeeper::GetInstance()->Restart(name, timeout_ms, msg);
}

bool ProcessKeeperPort::Signal(const std::string& name, int signo, std::string* msg) {
    return ProcessKeeper::GetInstance()->Signal(name, signo, msg);
}

int ProcessKeeperPort::Exec(const std::string& command, int32_t timeout_ms) {
    return ProcessKeeper::Exec(command, timeout_ms);
}

bool ProcessKeeperPort::Shutdown() {
    return ProcessKeeper::GetInstance()->Shutdown();
}

}  // namespace tendwell
