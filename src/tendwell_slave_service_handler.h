// The control service's implementation: hands each remote call to the tendlet
// manager's command of the same name.
#pragma once

#include <string>

#include "tendwell/protocal/TSlaveServiceProtocol.h"

namespace tendwell {

// What a remote stop or abort asks of the running daemon once the tendlet
// manager has answered. The daemon frame registers its own at start-up, before
// the server serves; until then both requests do nothing.
struct DaemonRequests {
    void (*stop)();
    void (*abort)();
};
void SetDaemonRequests(const DaemonRequests& requests);

// Every time-out argument is accepted and ignored: the tendlet manager's own
// time-outs apply.
class SlaveServiceHandler : public TSlaveServiceProtocolIf {
public:
    ~SlaveServiceHandler() override = default;

    void start(TReturnResult& _return, const int32_t timout) override;
    // Stops every tendlet, then asks the daemon to shut down.
    void stop(TReturnResult& _return, const int32_t timeout) override;
    void restart(TReturnResult& _return, const int32_t timeout) override;
    // Ends the keeping loop, then asks the daemon to exit leaving the tendlets running.
    void abort(TReturnResult& _return, const int32_t timeout) override;
    void reload(TReturnResult& _return, const int32_t timeout) override;
    void check(TTendletStatusResponse& _return, const int32_t timeout) override;
    void startOne(TReturnResult& _return, const std::string& name, const int32_t timeout) override;
    void stopOne(TReturnResult& _return, const std::string& name, const int32_t timeout) override;
    void restartOne(TReturnResult& _return, const std::string& name,
                    const int32_t timeout) override;
    void reloadOne(TReturnResult& _return, const std::string& name,
                   const int32_t timeout) override;
    void checkOne(TTendletStatusResponse& _return, const std::string& name,
                  const int32_t timeout) override;
};

}  // namespace tendwell
