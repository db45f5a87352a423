// The abstract log destination made from a device, and the registry of device types
// that makes appenders.
#pragma once

#include <stdint.h>

#include <atomic>
#include <shared_mutex>

#include "plume/plume.h"

namespace plumespace {

class Appender {
public:
    Appender();
    virtual ~Appender();
    Appender(const Appender&) = delete;
    Appender& operator=(const Appender&) = delete;

    virtual int open(void* arg) = 0;
    virtual int close(void* arg) = 0;
    virtual int stop(void* arg);
    virtual int reset(void* arg);
    virtual int print(plume_event_t* event) = 0;
    virtual int binprint(const void* buf, int len) = 0;
    virtual int flush();
    virtual int syncid(void* arg);

    // The appender of the device's type for the device, made when new; null when the
    // type is not registered or the appender cannot be made.
    static Appender* getAppenderByType(plume_device_t* dev);
    // The existing appender of the device, or null.
    static Appender* tryAppenderByType(plume_device_t* dev);
    static int registerType(const char* type, plume_appender_fn get_appender, plume_appender_fn try_appender);
    // 1 when type is registered, else 0.
    static int isTypeRegistered(const char* type);

    void copyDevice(const plume_device_t& dev);
    void setLayout(Layout* layout);
    void setMaskBit(int level);
    void clearMaskBit(int level);
    bool testMaskBit(int level) const;
    void clearMask();
    void setDefaultMask();

    // The device it was made from; of its parameter table only the first
    // param_num entries are set.
    plume_device_t device;
    int fd = -1;
    std::atomic<int> is_open{1};
    std::atomic<Layout*> layout;
    std::atomic<uint64_t> mask{PLUME_DEFAULT_MASK};
    std::shared_mutex mutex;
    Appender* backup = nullptr;

protected:
    // Formats the event with the appender's layout into the event's line.
    int formatLine(plume_event_t* event);
};

}  // namespace plumespace
