#include "plume/appender.h"

#include <string.h>

#include "plume/layout.h"

namespace plumespace {

Appender::Appender() : layout(plume_default_layout()) { memset(&device, 0, sizeof(device)); }

Appender::~Appender() = default;

int Appender::stop(void*) { return 0; }

int Appender::reset(void*) { return 0; }

int Appender::flush() { return 0; }

int Appender::syncid(void*) { return 0; }

void Appender::copyDevice(const plume_device_t& dev) {
    device = dev;
    device.param_list = device.params;
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
