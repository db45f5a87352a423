#include "tendwell_slave_service_handler.h"

#include "tendwell_tendlet_manager.h"

namespace tendwell {

namespace {
// Set before the server's threads start, only read by them.
DaemonRequests g_daemon_requests = {nullptr, nullptr};
}  // namespace

void SetDaemonRequests(const DaemonRequests& requests) { g_daemon_requests = requests; }

void SlaveServiceHandler::start(TReturnResult& _return, const int32_t) {
    _return = TendletManager::GetInstance()->Start();
}

void SlaveServiceHandler::stop(TReturnResult& _return, const int32_t) {
    _return = TendletManager::GetInstance()->Stop();
    if (g_daemon_requests.stop != nullptr) g_daemon_requests.stop();
}

void SlaveServiceHandler::restart(TReturnResult& _return, const int32_t) {
    _return = TendletManager::GetInstance()->Restart();
}

void SlaveServiceHandler::abort(TReturnResult& _return, const int32_t) {
    _return = TendletManager::GetInstance()->Abort();
    if (g_daemon_requests.abort != nullptr) g_daemon_requests.abort();
}

void SlaveServiceHandler::reload(TReturnResult& _return, const int32_t) {
    _return = TendletManager::GetInstance()->Reload();
}

void SlaveServiceHandler::check(TTendletStatusResponse& _return, const int32_t) {
    _return = TendletManager::GetInstance()->Check();
}

void SlaveServiceHandler::startOne(TReturnResult& _return, const std::string& name,
                                   const int32_t) {
    _return = TendletManager::GetInstance()->StartOne(name);
}

void SlaveServiceHandler::stopOne(TReturnResult& _return, const std::string& name,
                                  const int32_t) {
    _return = TendletManager::GetInstance()->StopOne(name);
}

void SlaveServiceHandler::restartOne(TReturnResult& _return, const std::string& name,
                                     const int32_t) {
    _return = TendletManager::GetInstance()->RestartOne(name);
}

void SlaveServiceHandler::reloadOne(TReturnResult& _return, const std::string& name,
                                    const int32_t) {
    _return = TendletManager::GetInstance()->ReloadOne(name);
}

void SlaveServiceHandler::checkOne(TTendletStatusResponse& _return, const std::string& name,
                                   const int32_t) {
    _return = TendletManager::GetInstance()->CheckOne(name);
}

}  // namespace tendwell
