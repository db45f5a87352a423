#include "tty_appender.h"

#include <stdio.h>

#include <new>

#include "plume/layout.h"
#include "plume/plume_event.h"
#include "name_mg.h"

namespace plumespace {
namespace {

// A device without a layout is given the default one.
void tty_key(char (&key)[64], const plume_device_t& dev) {
    Layout* layout = dev.layout ? dev.layout : plume_default_layout();
    snprintf(key, sizeof(key), "tty:tty.%lx", reinterpret_cast<unsigned long>(layout));
}

}  // namespace

int TtyAppender::open(void*) { return 0; }

int TtyAppender::close(void*) { return 0; }

int TtyAppender::print(plume_event_t* event) {
    if (!testMaskBit(event->level)) return 0;
    formatLine(event);
    fprintf(stderr, "%s", event->line);
    return 0;
}

int TtyAppender::binprint(const void* buf, int len) {
    fwrite(buf, 1, len, stderr);
    return 0;
}

Appender* TtyAppender::getAppender(plume_device_t& dev) {
    if (!dev.layout) dev.layout = plume_default_layout();
    char key[64];
    tty_key(key, dev);
    NameMg* names = NameMg::getInstance();
    if (Appender* found = static_cast<Appender*>(names->get(NAME_APPENDER, key))) return found;
    TtyAppender* made = new (std::nothrow) TtyAppender();
    if (!made) return nullptr;
    made->copyDevice(dev);
    if (names->set(NAME_APPENDER, key, made) != 0) {
        delete made;
        return nullptr;
    }
    return made;
}

Appender* TtyAppender::tryAppender(plume_device_t& dev) {
    char key[64];
    tty_key(key, dev);
    return static_cast<Appender*>(NameMg::getInstance()->get(NAME_APPENDER, key));
}

}  // namespace plumespace
