// The client end of the control service: sends one command to the daemon over
// its Unix-domain socket and turns every failure into a result code, so callers
// never see an exception.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <memory>
#include <string>

#include "tendwell/protocal/TSlaveServiceProtocol.h"

namespace tendwell {

// The result part of a reply: the reply itself, or a check reply's returnInfo.
inline TReturnResult& ResultOf(TReturnResult& result) { return result; }
inline TReturnResult& ResultOf(TTendletStatusResponse& response) { return response.returnInfo; }

// Sends the Thrift library's own diagnostics to the process log instead of
// standard error (a client's terminal must not show library noise).
void RouteThriftOutputToLog();

class UnixRpcManager {
public:
    explicit UnixRpcManager(const char* socket_path);
    ~UnixRpcManager();
    UnixRpcManager(const UnixRpcManager&) = delete;
    UnixRpcManager& operator=(const UnixRpcManager&) = delete;

    // Applies to the next Open. Taken in 64 bits so a caller's seconds x 1000
    // cannot wrap, and clamped to what the transport can honour.
    void SetRecvTimeout(int64_t ms);
    int32_t recv_timeout_ms() const { return recv_timeout_ms_; }

    bool Open();
    void Close();
    // Connects when not connected and refreshes the host name: 0, or
    // ERROR_CONNECTED_TO_SERVER / ERROR_GETHOSTNAME_FAIL.
    int DoConnectStuff();
    // Whether code is one of the client's own failures, with which the request may
    // never have reached the daemon.
    static bool ClientFailure(int code);
    bool Connected() const { return connected_; }
    // Whether the last connect failed because the socket path holds no socket.
    bool NotSocket() const { return not_socket_; }
    // The pid of the process serving the last connection made; 0 when unknown.
    pid_t PeerPid() const { return peer_pid_; }
    // This machine's name without the internal domain suffix; 0 or -1.
    int GetHostName(std::string& out);
    bool GetLocalIp(int fd);

    void Start(TReturnResult& result, int32_t timeout);
    void Stop(TReturnResult& result, int32_t timeout);
    void Restart(TReturnResult& result, int32_t timeout);
    void Abort(TReturnResult& result, int32_t timeout);
    void Reload(TReturnResult& result, int32_t timeout);
    void Check(TTendletStatusResponse& response, int32_t timeout);
    void StartOne(TReturnResult& result, const std::string& name, int32_t timeout);
    void StopOne(TReturnResult& result, const std::string& name, int32_t timeout);
    void RestartOne(TReturnResult& result, const std::string& name, int32_t timeout);
    void ReloadOne(TReturnResult& result, const std::string& name, int32_t timeout);
    void CheckOne(TTendletStatusResponse& response, const std::string& name, int32_t timeout);

private:
    // The texts of one remote call's log lines: the method tag of its debug lines,
    // what they say was begun and finished ("stop", "stop web"), and what its
    // error line names ("stop", "Stopone name:web").
    struct CallTexts {
        const char* tag;
        std::string subject;
        std::string error_subject;
        // Reload's finished line shows the daemon's message in parentheses.
        bool message_in_parentheses = false;
    };

    // Runs one remote call: connects first, then the generated client's method
    // into a fresh reply that replaces out only when the whole reply arrived.
    template <typename Reply, typename... Params, typename... Args>
    void Call(Reply& out, const CallTexts& texts,
              void (TSlaveServiceProtocolClient::*method)(Reply&, Params...),
              const Args&... args);

    std::unique_ptr<TSlaveServiceProtocolClient> client_;
    std::string socket_path_;
    int32_t conn_timeout_ms_ = 2000;
    int32_t recv_timeout_ms_ = 20000;
    int32_t send_timeout_ms_ = 2000;
    bool connected_ = false;
    bool not_socket_ = false;
    pid_t peer_pid_ = 0;
    std::string local_ip_;
    std::string host_name_;
};

}  // namespace tendwell
