#include "tendwell/tendwell_unix_rpc_manager.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <exception>

#include <thrift/TOutput.h>
#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TSocket.h>

#include "lodir/lodir_settings.h"
#include "tendwell/tendwell_utility.h"

// This client's lines carry the source tag alone; where a method name shows,
// it is part of the text.
#define RPC_LOG(level, fmt, ...)                                                  \
    do {                                                                          \
        if (::tendwell::GetLogLevel() >= (level)) {                               \
            plume_writelog((level), "[%s:%d]" fmt,                                \
                           ::tendwell::SourceBaseName(__FILE__), __LINE__,        \
                           ##__VA_ARGS__);                                        \
        }                                                                         \
    } while (0)

namespace tendwell {

using apache::thrift::protocol::TBinaryProtocol;
using apache::thrift::transport::TFramedTransport;
using apache::thrift::transport::TSocket;

namespace {

const char kConnectFail[] = "connect to unix rpc server fail";
const char kCommunicateFail[] = "commnicate with server fail:";
// Longest receive time-out the transport takes without overflowing its own
// microsecond arithmetic (milliseconds x 1000 in an int).
const int64_t kMaxRecvTimeoutMs = 2147483;

void ThriftOutputToLog(const char* message) {
    TW_WARNING("thrift", "%s", message);
}

}  // namespace

void RouteThriftOutputToLog() {
    apache::thrift::GlobalOutput.setOutputFunction(ThriftOutputToLog);
}

UnixRpcManager::UnixRpcManager(const char* socket_path) : socket_path_(socket_path) {
    RouteThriftOutputToLog();
}

UnixRpcManager::~UnixRpcManager() {
    if (connected_) Close();
}

void UnixRpcManager::SetRecvTimeout(int64_t ms) {
    if (ms < 0) ms = 0;
    if (ms > kMaxRecvTimeoutMs) ms = kMaxRecvTimeoutMs;
    recv_timeout_ms_ = static_cast<int32_t>(ms);
}

bool UnixRpcManager::Open() {
    if (client_) return true;
    try {
        auto socket = std::make_shared<TSocket>(socket_path_);
        socket->setConnTimeout(conn_timeout_ms_);
        socket->setRecvTimeout(recv_timeout_ms_);
        socket->setSendTimeout(send_timeout_ms_);
        auto transport = std::make_shared<TFramedTransport>(socket);
        auto protocol = std::make_shared<TBinaryProtocol>(transport);
        client_.reset(new TSlaveServiceProtocolClient(protocol));
        transport->open();
        connected_ = true;
        RPC_LOG(kLogTrace, "ThriftRpc: open connection ok to %s(%s)", socket_path_.c_str(),
                 socket->getPeerHost().c_str());
        return true;
    } catch (const std::exception& e) {
        RPC_LOG(kLogWarning, "ThriftRpc: open rpc error %s", e.what());
        connected_ = false;
        return false;
    }
}

void UnixRpcManager::Close() {
    if (client_) {
        try {
            client_->getInputProtocol()->getTransport()->close();
        } catch (const std::exception& e) {
            RPC_LOG(kLogWarning, "ThriftRpc: close rpc error %s", e.what());
        }
        client_.reset();
    }
    connected_ = false;
}

int UnixRpcManager::DoConnectStuff() {
    if (!connected_) {
        Close();
        Open();
    }
    if (!connected_) {
        TW_WARNING("DoConnectStuff", "connect to %s fail.", socket_path_.c_str());
        return TReturnCode::ERROR_CONNECTED_TO_SERVER;
    }
    if (GetHostName(host_name_) != 0) return TReturnCode::ERROR_GETHOSTNAME_FAIL;
    return 0;
}

int UnixRpcManager::GetHostName(std::string& out) {
    char name[256];
    memset(name, 0, sizeof(name));
    // One byte short of the buffer, so a cut name still ends in NUL.
    if (gethostname(name, sizeof(name) - 1) != 0) return -1;
    char* suffix = strstr(name, lodir::kDomainSuffix);
    if (suffix != nullptr) *suffix = '\0';
    out = name;
    return 0;
}

bool UnixRpcManager::GetLocalIp(int fd) {
    struct sockaddr_in addr;
    socklen_t len = sizeof(addr);
    memset(&addr, 0, sizeof(addr));
    if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0) {
        RPC_LOG(kLogWarning, "ThriftRpc: getsockname error %d", errno);
        return false;
    }
    char ip[17];
    memset(ip, 0, sizeof(ip));
    if (inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof(ip)) == nullptr) {
        RPC_LOG(kLogWarning, "ThriftRpc: inet_ntoa error %d", errno);
        return false;
    }
    local_ip_ = ip;
    RPC_LOG(kLogWarning, "ThriftRpc: local ip is %s", ip);
    return true;
}

template <typename Reply, typename CallFn, typename ErrorFn>
void UnixRpcManager::Invoke(Reply* out, TReturnResult* info, CallFn call, ErrorFn on_error) {
    int code = DoConnectStuff();
    if (code != 0) {
        info->returnCode = static_cast<TReturnCode::type>(code);
        info->returnMsg = kConnectFail;
        return;
    }
    try {
        // A reply cut short must not leave half of it in the caller's object.
        Reply reply;
        call(reply);
        *out = reply;
    } catch (const std::exception& e) {
        on_error(e.what());
        info->returnCode = TReturnCode::ERROR_COMMNICATE_WITH_SERVER;
        info->returnMsg = std::string(kCommunicateFail) + e.what();
    }
}

void UnixRpcManager::Start(TReturnResult& result, int32_t timeout) {
    Invoke(&result, &result,
           [&](TReturnResult& reply) {
               TW_DEBUG("Start", "begin to start...");
               client_->start(reply, timeout);
               TW_DEBUG("Start", "finished start,return:%d %s.", reply.returnCode,
                        reply.returnMsg.c_str());
           },
           [](const char* what) { RPC_LOG(kLogWarning, "start error:%s", what); });
}

void UnixRpcManager::Stop(TReturnResult& result, int32_t timeout) {
    Invoke(&result, &result,
           [&](TReturnResult& reply) {
               TW_DEBUG("Stop", "begin to stop...");
               client_->stop(reply, timeout);
               TW_DEBUG("Stop", "finished stop,return:%d %s.", reply.returnCode,
                        reply.returnMsg.c_str());
           },
           [](const char* what) { RPC_LOG(kLogWarning, "stop error:%s", what); });
}

void UnixRpcManager::Restart(TReturnResult& result, int32_t timeout) {
    Invoke(&result, &result,
           [&](TReturnResult& reply) {
               TW_DEBUG("Restart", "begin to restart...");
               client_->restart(reply, timeout);
               TW_DEBUG("Restart", "finished restart,return:%d %s.", reply.returnCode,
                        reply.returnMsg.c_str());
           },
           [](const char* what) { RPC_LOG(kLogWarning, "restart error:%s", what); });
}

void UnixRpcManager::Abort(TReturnResult& result, int32_t timeout) {
    Invoke(&result, &result,
           [&](TReturnResult& reply) {
               TW_DEBUG("Abort", "begin to abort...");
               client_->abort(reply, timeout);
               TW_DEBUG("Abort", "finished abort,return:%d %s.", reply.returnCode,
                        reply.returnMsg.c_str());
           },
           [](const char* what) { RPC_LOG(kLogWarning, "abort error:%s", what); });
}

void UnixRpcManager::Reload(TReturnResult& result, int32_t timeout) {
    Invoke(&result, &result,
           [&](TReturnResult& reply) {
               TW_DEBUG("Reload", "begin to reload...");
               client_->reload(reply, timeout);
               TW_DEBUG("Reload", "finished reload,return:%d(%s).", reply.returnCode,
                        reply.returnMsg.c_str());
           },
           [](const char* what) { RPC_LOG(kLogWarning, "reload error:%s", what); });
}

void UnixRpcManager::Check(TTendletStatusResponse& response, int32_t timeout) {
    Invoke(&response, &response.returnInfo,
           [&](TTendletStatusResponse& reply) {
               TW_DEBUG("Check", "begin to check...");
               client_->check(reply, timeout);
               TW_DEBUG("Check", "finished check,return:%d %s.", reply.returnInfo.returnCode,
                        reply.returnInfo.returnMsg.c_str());
           },
           [](const char* what) { RPC_LOG(kLogWarning, "check error:%s", what); });
}

void UnixRpcManager::StartOne(TReturnResult& result, const std::string& name, int32_t timeout) {
    Invoke(&result, &result,
           [&](TReturnResult& reply) {
               TW_DEBUG("StartOne", "begin to start %s...", name.c_str());
               client_->startOne(reply, name, timeout);
               TW_DEBUG("StartOne", "finished start %s,return:%d %s.", name.c_str(),
                        reply.returnCode, reply.returnMsg.c_str());
           },
           [&](const char* what) {
               RPC_LOG(kLogWarning, "Startone name:%s error:%s", name.c_str(), what);
           });
}

void UnixRpcManager::StopOne(TReturnResult& result, const std::string& name, int32_t timeout) {
    Invoke(&result, &result,
           [&](TReturnResult& reply) {
               TW_DEBUG("StopOne", "begin to stop %s...", name.c_str());
               client_->stopOne(reply, name, timeout);
               TW_DEBUG("StopOne", "finished stop %s,return:%d %s.", name.c_str(),
                        reply.returnCode, reply.returnMsg.c_str());
           },
           [&](const char* what) {
               RPC_LOG(kLogWarning, "Stopone name:%s error:%s", name.c_str(), what);
           });
}

void UnixRpcManager::RestartOne(TReturnResult& result, const std::string& name,
                                int32_t timeout) {
    Invoke(&result, &result,
           [&](TReturnResult& reply) {
               TW_DEBUG("RestartOne", "begin to restart %s...", name.c_str());
               client_->restartOne(reply, name, timeout);
               TW_DEBUG("RestartOne", "finished restart %s,return:%d %s.", name.c_str(),
                        reply.returnCode, reply.returnMsg.c_str());
           },
           [&](const char* what) {
               RPC_LOG(kLogWarning, "RestartOne name:%s error:%s", name.c_str(), what);
           });
}

void UnixRpcManager::ReloadOne(TReturnResult& result, const std::string& name, int32_t timeout) {
    Invoke(&result, &result,
           [&](TReturnResult& reply) {
               TW_DEBUG("ReloadOne", "begin to reload %s...", name.c_str());
               client_->reloadOne(reply, name, timeout);
               TW_DEBUG("ReloadOne", "finished reload %s,return:%d %s.", name.c_str(),
                        reply.returnCode, reply.returnMsg.c_str());
           },
           [&](const char* what) {
               RPC_LOG(kLogWarning, "Reloadone name:%s error:%s", name.c_str(), what);
           });
}

void UnixRpcManager::CheckOne(TTendletStatusResponse& response, const std::string& name,
                              int32_t timeout) {
    Invoke(&response, &response.returnInfo,
           [&](TTendletStatusResponse& reply) {
               TW_DEBUG("CheckOne", "begin to check %s...", name.c_str());
               client_->checkOne(reply, name, timeout);
               TW_DEBUG("CheckOne", "finished check %s,return:%d %s.", name.c_str(),
                        reply.returnInfo.returnCode, reply.returnInfo.returnMsg.c_str());
           },
           [&](const char* what) {
               RPC_LOG(kLogWarning, "CheckOne name:%s error:%s", name.c_str(), what);
           });
}

}  // namespace tendwell
