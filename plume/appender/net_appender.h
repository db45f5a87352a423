// The network appender (type "NET"): formats each line in the writing thread and hands
// it to the send server of its server list; lines that cannot be queued, or that no
// server takes, go to a backup file beside the first server's path.
#pragma once

#include "plume/appender.h"

namespace plumespace {

class SendSvr;

class NetAppender : public Appender {
public:
    // Without an argument: joins the send server of the device's list. With a server
    // record (LogServer*): opens the remote log on its connection, `fd` becoming the
    // server's handle. 0 or -1.
    int open(void* arg) override;
    int close(void* arg) override;
    int stop(void* arg) override;
    int print(plume_event_t* event) override;
    int binprint(const void* buf, int len) override;

    static Appender* getAppender(plume_device_t& dev);
    static Appender* tryAppender(plume_device_t& dev);

    SendSvr* sender = nullptr;
};

}  // namespace plumespace
