// The utility-log appender (types "ZULOG" and "ZUNET"): one device split as the zulib
// process log splits its files, normal levels to `file`, FATAL and WARNING to
// `file`.wf and self-defined levels to `file`.sf, each through a file appender
// ("ZULOG") or a network appender ("ZUNET").
#pragma once

#include "plume/appender.h"

namespace plumespace {

class ZuLogAppender : public Appender {
public:
    static constexpr uint64_t NORMAL_MASK = 0x10110;
    static constexpr uint64_t WF_MASK = 0x6;
    static constexpr uint64_t SELF_DEFINED_MASK = 0xffffffff00000000ULL;

    int open(void* arg) override;
    int close(void* arg) override;
    int print(plume_event_t* event) override;
    int binprint(const void* buf, int len) override;

    static Appender* getAppender(plume_device_t& dev);
    static Appender* tryAppender(plume_device_t& dev);

    Appender* wf_app = nullptr;
    Appender* normal_app = nullptr;
    Appender* sf_app = nullptr;  // only when the device writes self-defined levels
};

}  // namespace plumespace
