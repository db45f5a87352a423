#include "tendwell/tendwell_slave_service_handler.h"

#include "tendwell/tendwell_frame.h"
#include "tendwell/tendwell_tendlet_manager.h"

namespace tendwell {

void SlaveServiceHandler::start(TReturnResult& _return, const int32_t) {
    _return = TendletManager::GetInstance()->Start();
}

void SlaveServiceHandler::stop(TReturnResult& _return, const int32_t) {
    _return = TendletManager::GetInstance()->Stop();
    TendwellFrame::GetInstance()->SetStop();
}

void SlaveServiceHandler::restart(TReturnResult& _return, const int32_t) {
    _return = TendletManager::GetInstance()->Restart();
}

void SlaveServiceHandler::abort(TReturnResult& _return, const int32_t) {
    _return = TendletManager::GetInstance()->Abort();
    TendwellFrame::GetInstance()->SetAbort();
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
