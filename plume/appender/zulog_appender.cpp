#include "zulog_appender.h"

#include <string.h>

#include <initializer_list>
#include <memory>
#include <new>
#include <string>

#include "file_appender.h"
#include "name_mg.h"
#include "net_appender.h"
#include "plume/plume_event.h"
#include "plume_diag.h"

namespace plumespace {
namespace {

std::string zulog_key(const plume_device_t& dev) {
    return std::string("ZULOG[") + dev.type + "]:" + dev.path + "/" + dev.file;
}

// The sub-appender of the file named file followed by suffix, for the levels of mask.
Appender* sub_appender(const plume_device_t& dev, const char* suffix, uint64_t mask) {
    std::unique_ptr<plume_device_t> copy(new (std::nothrow) plume_device_t(dev));
    if (!copy) return nullptr;
    snprintf(copy->file, sizeof(copy->file), "%s%s", dev.file, suffix);
    copy->log_mask = mask;
    bool to_file = strcmp(dev.type, "ZULOG") == 0;
    Appender* a = to_file ? FileAppender::getAppender(*copy) : NetAppender::getAppender(*copy);
    if (a) a->setLayout(dev.layout);
    return a;
}

// Each sub-appender applies its own mask; the first failure is the result.
template <class Print>
int print_each(const ZuLogAppender& z, Print print) {
    for (Appender* a : {z.normal_app, z.wf_app, z.sf_app})
        if (a && print(a) != 0) return -1;
    return 0;
}

}  // namespace

int ZuLogAppender::open(void*) { return 0; }

int ZuLogAppender::close(void*) { return 0; }

int ZuLogAppender::print(plume_event_t* event) {
    if (!testMaskBit(event->level)) return 0;
    return print_each(*this, [event](Appender* a) { return a->print(event); });
}

int ZuLogAppender::binprint(const void* buf, int len) {
    return print_each(*this, [buf, len](Appender* a) { return a->binprint(buf, len); });
}

Appender* ZuLogAppender::getAppender(plume_device_t& dev) {
    std::string key = zulog_key(dev);
    NameMg* names = NameMg::getInstance();
    if (Appender* found = static_cast<Appender*>(names->get(NAME_APPENDER, key.c_str()))) return found;
    ZuLogAppender* made = new (std::nothrow) ZuLogAppender();
    if (!made) return nullptr;
    made->copyDevice(dev);
    const char* missing = nullptr;
    if (!(made->normal_app = sub_appender(dev, "", NORMAL_MASK)))
        missing = "get ntapp err";
    else if (!(made->wf_app = sub_appender(dev, ".wf", WF_MASK)))
        missing = "get wfapp error";
    else if ((dev.log_mask & SELF_DEFINED_MASK) &&
             !(made->sf_app = sub_appender(dev, ".sf", dev.log_mask & SELF_DEFINED_MASK)))
        missing = "get sfapp error";
    if (missing) PLUME_DIAG("%s", missing);
    if (missing || names->set(NAME_APPENDER, key.c_str(), made) != 0) {
        delete made;
        return nullptr;
    }
    return made;
}

Appender* ZuLogAppender::tryAppender(plume_device_t& dev) {
    return static_cast<Appender*>(NameMg::getInstance()->get(NAME_APPENDER, zulog_key(dev).c_str()));
}

}  // namespace plumespace
