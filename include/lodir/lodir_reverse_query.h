// Asks the naming service which service instances are deployed on a host:
// first the naming agent on that host, then the naming web service.
#pragma once

#include <memory>
#include <string>

#include "lodir/lodir_reverse_query.pb.h"

namespace lodir {

class LodirHttpClient;

// Results of the queries; GetLodirErrorMessage gives the text of each.
enum LodirResult {
    kLodirSuccess = 0,
    kLodirCurlFail = -1,        // no GET succeeded
    kLodirDecodeFail = -2,      // the reply cannot be decoded
    kLodirNoInstance = -3,      // no instance matches
    kLodirHostNameFail = -4,    // the host name cannot be read
    kLodirRefused = -5,         // the reply's "retCode" is not 0
    kLodirIllegalInput = -6,    // the input has no deploy path
    kLodirOpenLogFail = -7,
    kLodirNoLocalDir = -8,
    kLodirUnknown = -9,
};

const char* GetLodirErrorMessage(int code);

// One lookup's client; it initialises the HTTP library's global state, so
// clients are made one at a time, on one thread.
class LodirReverseQueryClient {
public:
    // The agent on port 794 and the web service of the build setting
    // TENDWELL_LODIR_WEB_HOST.
    LodirReverseQueryClient();
    // The agent on agent_port; web_query_prefix is the web URL up to the host.
    LodirReverseQueryClient(int agent_port, const std::string& web_query_prefix);
    ~LodirReverseQueryClient();
    LodirReverseQueryClient(const LodirReverseQueryClient&) = delete;
    LodirReverseQueryClient& operator=(const LodirReverseQueryClient&) = delete;

    // The instances of input's host: its agent, else the web service.
    // 0, -1, -2 or -5; out is to be read only after 0.
    int GetLodirInstancesByHostname(const ReverseQueryInput& input, ReverseQueryOutput& out);
    // The instances of this machine, from the agent on 127.0.0.1 only, under
    // this machine's host name. 0, -1, -2, -4 or -5.
    int GetLodirInstancesByHostname(ReverseQueryOutput& out);
    // The instances of this machine under its host name. 0, -1, -2, -4 or -5.
    int GetLocalHostLodirInstances(ReverseQueryOutput& out);
    // The first local instance whose deploy directory holds the running
    // executable. 0, -1, -2, -3, -4 or -5.
    int FindSelfInstance(ExpectInstanceInfo& out);
    // The first instance of input's host whose deploy directory holds input's
    // deploy path. 0, -1, -2, -3, -5 or -6.
    int FindInstanceByPath(const ReverseQueryInput& input, ExpectInstanceInfo& out);

private:
    std::string AgentUrl(const std::string& host) const;

    std::unique_ptr<LodirHttpClient> http_;
    int agent_port_;
    std::string web_query_prefix_;
};

}  // namespace lodir
