// The send server of network appenders: sorts each batch by appender and time, makes
// sure every served appender has its remote log open on the current connection, and
// sends the batch as one data message of runs; a batch no server takes goes to the
// appenders' backup files.
#pragma once

#include "send_svr.h"

namespace plumespace {

class NetAppenderSvr : public SendSvr {
public:
    // How long a server may take to accept a message.
    static constexpr int SEND_TIMEOUT_MS = 10000;

    ~NetAppenderSvr() override;

    int push(plume_event_t* event) override;
    int work() override;
    int parseServers(const char* list_text) override;

    // The send server of the list, found or made and started; null on failure.
    static SendSvr* lookup(const char* list_text);

private:
    // Makes a usable server current: 0, or -1 when none is.
    int selectServer();
    // Opens the remote log of every served appender not yet open on server i's
    // connection; false at the first that fails.
    bool openAppenders(int i);
    int sendBatch(int n);
    void toBackups(int n);

    unsigned char head_wire_[LOGHEAD_SIZE];
};

}  // namespace plumespace
