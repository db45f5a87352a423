#include "lodir/lodir_reverse_query.h"

#include "lodir/lodir_http_client.h"
#include "lodir/lodir_settings.h"
#include "lodir/lodir_util.h"
#include "lodir_reverse_query_internal.h"

namespace lodir {

namespace {

const int kAgentPort = 794;
const char kWebQueryPath[] = "/portico/index.php?r=lodir/HostService&hostName=";
// Lines of the refusal log of the two queries.
const int kHostQueryLine = 120;
const int kLoopbackQueryLine = 178;

const char* const kResultTexts[] = {
    "Happy, success!",
    "curl from agent fail",
    "decode json fail",
    "have no lodir-instance",
    "gethostname fail",
    "got from http fail",
    "input is illegal",
    "open log file fail",
    "local lodir dir is not exist",
    "unknown reason",
};

// True when path is dir or lies below it: a plain prefix would also put
// /home/a/app2 inside /home/a/app.
bool InDirectory(const std::string& path, const std::string& dir) {
    if (!StartsWith(path, dir)) {
        return false;
    }
    return path.size() == dir.size() || dir.back() == '/' || path[dir.size()] == '/';
}

// Copies the first instance whose deploy directory holds path into out.
int FindByDeployDirectory(const ReverseQueryOutput& all, const std::string& path,
                          ExpectInstanceInfo& out) {
    for (const ExpectInstanceInfo& info : all.instance()) {
        if (InDirectory(path, info.deploy_path())) {
            out.CopyFrom(info);
            return kLodirSuccess;
        }
    }
    return kLodirNoInstance;
}

}  // namespace

const char* GetLodirErrorMessage(int code) {
    if (code > 0 || code < kLodirUnknown) {
        return "input wrong erro_num";
    }
    return kResultTexts[-code];
}

LodirReverseQueryClient::LodirReverseQueryClient()
    : LodirReverseQueryClient(kAgentPort, std::string("http://") + kLodirWebHost + kWebQueryPath) {}

LodirReverseQueryClient::LodirReverseQueryClient(int agent_port,
                                                 const std::string& web_query_prefix)
    : http_(new LodirHttpClient()), agent_port_(agent_port), web_query_prefix_(web_query_prefix) {}

LodirReverseQueryClient::~LodirReverseQueryClient() = default;

std::string LodirReverseQueryClient::AgentUrl(const std::string& host) const {
    return "http://" + host + ":" + std::to_string(agent_port_) + "/instance";
}

int LodirReverseQueryClient::GetLodirInstancesByHostname(const ReverseQueryInput& input,
                                                         ReverseQueryOutput& out) {
    out.Clear();
    std::string response;
    // The agent is asked directly: a proxy would answer in its place.
    if (http_->Get(AgentUrl(input.host_name()), response, LodirHttpClient::Proxy::kNone) != 0 &&
        http_->Get(web_query_prefix_ + http_->Escape(input.host_name()), response) != 0) {
        return kLodirCurlFail;
    }
    return DecodeReverseQueryReply(response, input.host_name(), kHostQueryLine, out);
}

int LodirReverseQueryClient::GetLodirInstancesByHostname(ReverseQueryOutput& out) {
    std::string host_name;
    if (GetLocalHostName(host_name) != 0) {
        return kLodirHostNameFail;
    }
    out.Clear();
    std::string response;
    if (http_->Get(AgentUrl("127.0.0.1"), response, LodirHttpClient::Proxy::kNone) != 0) {
        return kLodirCurlFail;
    }
    return DecodeReverseQueryReply(response, host_name, kLoopbackQueryLine, out);
}

int LodirReverseQueryClient::GetLocalHostLodirInstances(ReverseQueryOutput& out) {
    out.Clear();
    std::string host_name;
    if (GetLocalHostName(host_name) != 0) {
        return kLodirHostNameFail;
    }
    ReverseQueryInput input;
    input.set_host_name(host_name);
    return GetLodirInstancesByHostname(input, out);
}

int LodirReverseQueryClient::FindSelfInstance(ExpectInstanceInfo& out) {
    out.Clear();
    ReverseQueryOutput all;
    int ret = GetLocalHostLodirInstances(all);
    if (ret != kLodirSuccess) {
        return ret;
    }
    return FindByDeployDirectory(all, GetBinaryPath(), out);
}

int LodirReverseQueryClient::FindInstanceByPath(const ReverseQueryInput& input,
                                                ExpectInstanceInfo& out) {
    out.Clear();
    if (!input.has_deploy_path()) {
        return kLodirIllegalInput;
    }
    ReverseQueryOutput all;
    int ret = GetLodirInstancesByHostname(input, all);
    if (ret != kLodirSuccess) {
        return ret;
    }
    return FindByDeployDirectory(all, input.deploy_path(), out);
}

}  // namespace lodir
