#include "plume/appender.h"

#include <stddef.h>
#include <string.h>

#include <algorithm>

#include "plume/layout.h"

namespace plumespace {

// The parameter table is most of a device (256 KB) and its entries past
// param_num are never read: leaving them unwritten keeps those pages of an
// appender out of memory.
Appender::Appender() : layout(plume_default_layout()) {
    memset(&device, 0, offsetof(plume_device_t, params));
    device.param_count = 0;
    device.param_size = 0;
    device.param_list = nullptr;
    device.layout = nullptr;
}

Appender::~Appender() = default;

int Appender::stop(void*) { return 0; }

int Appender::reset(void*) { return 0; }

int Appender::flush() { return 0; }

int Appender::syncid(void*) { return 0; }

void Appender::copyDevice(const plume_device_t& dev) {
    memcpy(&device, &dev, offsetof(plume_device_t, params));
    std::copy_n(dev.params, std::clamp(dev.param_num, 0, PLUME_MAX_PARAMS), device.params);
    device.param_count = dev.param_count;
    device.param_size = dev.param_size;
    device.param_list = device.params;
    device.layout = dev.layout;
    mask.store(dev.log_mask);
}

void Appender::setLayout(Layout* l) {
    if (l) layout.store(l);
}

void Appender::setMaskBit(int level) { mask.fetch_or(1ULL << (level & 63)); }

void Appender::clearMaskBit(int level) { mask.fetch_and(~(1ULL << (level & 63))); }

bool Appender::testMaskBit(int level) const { return (mask.load() >> (level & 63)) & 1; }

void Appender::clearMask() { mask.store(0); }

void Appender::setDefaultMask() { mask.store(PLUME_DEFAULT_MASK); }

int Appender::formatLine(plume_event_t* event) { return layout.load()->format(event); }

}  // namespace plumespace
