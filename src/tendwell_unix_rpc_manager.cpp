#include "tendwell_unix_rpc_manager.h"

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

#include "instance/tendwell_socket_state.h"
#include "lodir/lodir_util.h"
#include "tendwell_utility.h"

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
        struct ucred cred;
        socklen_t len = sizeof(cred);
        peer_pid_ = getsockopt(socket->getSocketFD(), SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0
                        ? cred.pid
                        : 0;
        TENDWELL_SOURCE_LOG(kLogTrace, "ThriftRpc: open connection ok to %s(%s)",
                            socket_path_.c_str(), socket->getPeerHost().c_str());
        return true;
    } catch (const std::exception& e) {
        TENDWELL_SOURCE_LOG(kLogWarning, "ThriftRpc: open rpc error %s", e.what());
        connected_ = false;
        return false;
    }
}

void UnixRpcManager::Close() {
    if (client_) {
        try {
            client_->getInputProtocol()->getTransport()->close();
        } catch (const std::exception& e) {
            TENDWELL_SOURCE_LOG(kLogWarning, "ThriftRpc: close rpc error %s", e.what());
        }
        client_.reset();
    }
    connected_ = false;
}

bool UnixRpcManager::ClientFailure(int code) {
    return code == TReturnCode::ERROR_CONNECTED_TO_SERVER ||
           code == TReturnCode::ERROR_GETHOSTNAME_FAIL ||
           code == TReturnCode::ERROR_COMMNICATE_WITH_SERVER;
}

int UnixRpcManager::DoConnectStuff() {
    not_socket_ = false;
    if (!connected_) {
        Close();
        Open();
    }
    if (!connected_) {
        TW_WARNING("DoConnectStuff", "connect to %s fail.", socket_path_.c_str());
        not_socket_ = LookAtSocket(socket_path_) == SocketState::kNotSocket;
        return TReturnCode::ERROR_CONNECTED_TO_SERVER;
    }
    if (GetHostName(host_name_) != 0) return TReturnCode::ERROR_GETHOSTNAME_FAIL;
    return 0;
}

int UnixRpcManager::GetHostName(std::string& out) {
    // The same short name the naming lookup uses.
    return lodir::GetLocalHostName(out);
}

bool UnixRpcManager::GetLocalIp(int fd) {
    struct sockaddr_in addr;
    socklen_t len = sizeof(addr);
    memset(&addr, 0, sizeof(addr));
    if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0) {
        TENDWELL_SOURCE_LOG(kLogWarning, "ThriftRpc: getsockname error %d", errno);
        return false;
    }
    char ip[17];
    memset(ip, 0, sizeof(ip));
    if (inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof(ip)) == nullptr) {
        TENDWELL_SOURCE_LOG(kLogWarning, "ThriftRpc: inet_ntoa error %d", errno);
        return false;
    }
    local_ip_ = ip;
    TENDWELL_SOURCE_LOG(kLogWarning, "ThriftRpc: local ip is %s", ip);
    return true;
}

template <typename Reply, typename... Params, typename... Args>
void UnixRpcManager::Call(Reply& out, const CallTexts& texts,
                          void (TSlaveServiceProtocolClient::*method)(Reply&, Params...),
                          const Args&... args) {
    TReturnResult& info = ResultOf(out);
    int code = DoConnectStuff();
    if (code != 0) {
        info.returnCode = static_cast<TReturnCode::type>(code);
        // What stands at the path says more than a failed connect.
        info.returnMsg = not_socket_ ? NotSocketText(socket_path_) : kConnectFail;
        return;
    }
    try {
        TW_DEBUG(texts.tag, "begin to %s...", texts.subject.c_str());
        // A reply cut short must not leave half of it in the caller's object.
        Reply reply;
        (client_.get()->*method)(reply, args...);
        const TReturnResult& answer = ResultOf(reply);
        if (texts.message_in_parentheses) {
            TW_DEBUG(texts.tag, "finished %s,return:%d(%s).", texts.subject.c_str(),
                     answer.returnCode, answer.returnMsg.c_str());
        } else {
            TW_DEBUG(texts.tag, "finished %s,return:%d %s.", texts.subject.c_str(),
                     answer.returnCode, answer.returnMsg.c_str());
        }
        out = reply;
    } catch (const std::exception& e) {
        TENDWELL_SOURCE_LOG(kLogWarning, "%s error:%s", texts.error_subject.c_str(), e.what());
        info.returnCode = TReturnCode::ERROR_COMMNICATE_WITH_SERVER;
        info.returnMsg = std::string(kCommunicateFail) + e.what();
    }
}

void UnixRpcManager::Start(TReturnResult& result, int32_t timeout) {
    Call(result, {"Start", "start", "start"}, &TSlaveServiceProtocolClient::start, timeout);
}

void UnixRpcManager::Stop(TReturnResult& result, int32_t timeout) {
    Call(result, {"Stop", "stop", "stop"}, &TSlaveServiceProtocolClient::stop, timeout);
}

void UnixRpcManager::Restart(TReturnResult& result, int32_t timeout) {
    Call(result, {"Restart", "restart", "restart"}, &TSlaveServiceProtocolClient::restart,
         timeout);
}

void UnixRpcManager::Abort(TReturnResult& result, int32_t timeout) {
    Call(result, {"Abort", "abort", "abort"}, &TSlaveServiceProtocolClient::abort, timeout);
}

void UnixRpcManager::Reload(TReturnResult& result, int32_t timeout) {
    Call(result, {"Reload", "reload", "reload", true}, &TSlaveServiceProtocolClient::reload,
         timeout);
}

void UnixRpcManager::Check(TTendletStatusResponse& response, int32_t timeout) {
    Call(response, {"Check", "check", "check"}, &TSlaveServiceProtocolClient::check, timeout);
}

void UnixRpcManager::StartOne(TReturnResult& result, const std::string& name, int32_t timeout) {
    Call(result, {"StartOne", "start " + name, "Startone name:" + name},
         &TSlaveServiceProtocolClient::startOne, name, timeout);
}

void UnixRpcManager::StopOne(TReturnResult& result, const std::string& name, int32_t timeout) {
    Call(result, {"StopOne", "stop " + name, "Stopone name:" + name},
         &TSlaveServiceProtocolClient::stopOne, name, timeout);
}

void UnixRpcManager::RestartOne(TReturnResult& result, const std::string& name,
                                int32_t timeout) {
    Call(result, {"RestartOne", "restart " + name, "RestartOne name:" + name},
         &TSlaveServiceProtocolClient::restartOne, name, timeout);
}

void UnixRpcManager::ReloadOne(TReturnResult& result, const std::string& name, int32_t timeout) {
    Call(result, {"ReloadOne", "reload " + name, "Reloadone name:" + name},
         &TSlaveServiceProtocolClient::reloadOne, name, timeout);
}

void UnixRpcManager::CheckOne(TTendletStatusResponse& response, const std::string& name,
                              int32_t timeout) {
    Call(response, {"CheckOne", "check " + name, "CheckOne name:" + name},
         &TSlaveServiceProtocolClient::checkOne, name, timeout);
}

}  // namespace tendwell
