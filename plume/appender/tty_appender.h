// The terminal appender: lines to standard error. One per layout.
#pragma once

#include "plume/appender.h"

namespace plumespace {

class TtyAppender : public Appender {
public:
    int open(void* arg) override;
    int close(void* arg) override;
    int print(plume_event_t* event) override;
    int binprint(const void* buf, int len) override;

    static Appender* getAppender(plume_device_t& dev);
    static Appender* tryAppender(plume_device_t& dev);
};

}  // namespace plumespace
