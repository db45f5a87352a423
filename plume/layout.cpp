#include "plume/layout.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "plume/plume_event.h"
#include "level_names.h"

namespace plumespace {
namespace {

// Writes pieces into a line buffer of fixed size. A piece that does not fit fills the
// room and ends the line.
class LineWriter {
public:
    LineWriter(char* buf, int size) : buf_(buf), size_(size) {}

    bool full() const { return pos_ >= size_; }
    int pos() const { return pos_; }
    int room() const { return size_ - pos_; }
    char* cursor() { return buf_ + pos_; }
    void advance(int n) { pos_ = std::min(size_, pos_ + n); }

    void put(const char* text, int len) {
        if (full()) return;
        memcpy(buf_ + pos_, text, std::min(len, room() - 1));
        advance(len);
    }
    void put(const char* text) { put(text, static_cast<int>(strlen(text))); }

    void putf(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
        if (full()) return;
        va_list args;
        va_start(args, fmt);
        int n = vsnprintf(buf_ + pos_, room(), fmt, args);
        va_end(args);
        if (n > 0) advance(n);
    }

private:
    char* buf_;
    int size_;
    int pos_ = 0;
};

// The local time of seconds: one conversion per thread and second, as localtime_r takes
// a lock of the whole process that writing threads would queue on.
const struct tm& local_time(time_t seconds) {
    thread_local time_t converted = -1;
    thread_local struct tm tm;
    if (seconds != converted) {
        localtime_r(&seconds, &tm);
        converted = seconds;
    }
    return tm;
}

}  // namespace

Layout::Layout() {
    setPattern("%L: %D:  %P * %T %R");
    setNdcPattern("%K:%V,");
}

Layout::~Layout() = default;

void Layout::setPattern(const char* p) { snprintf(pattern, sizeof(pattern), "%s", p ? p : ""); }

void Layout::setNdcPattern(const char* p) { snprintf(ndc_pattern, sizeof(ndc_pattern), "%s", p ? p : ""); }

int Layout::format(plume_event_t* ev) {
    int size = ev->line_size;
    if (size <= 1) return -1;
    LineWriter out(ev->line, size);
    if (ev->version >= 0 && ev->type[0]) out.putf("%d %s ", ev->version, ev->type);
    const struct tm& tm = local_time(ev->time.tv_sec);
    for (const char* p = pattern; *p && !out.full(); ++p) {
        if (*p != '%') {
            out.put(p, 1);
            continue;
        }
        if (!*++p) break;
        switch (*p) {
        case 'A':
            out.putf("%02d-%02d %02d:%02d:%02d:%03d", tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                     tm.tm_sec, static_cast<int>(ev->time.tv_usec / 1000));
            break;
        case 'D':
            out.putf("%02d-%02d %02d:%02d:%02d", tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
            break;
        case 'H': {
            char host[128] = "";
            gethostname(host, sizeof(host) - 1);
            out.put(host);
            break;
        }
        case 'L': out.put(level_name(ev->level)); break;
        case 'N': out.advance(formatNdc(ev, out.cursor(), out.room())); break;
        case 'P': out.put(ev->procname); break;
        case 'R': out.put(ev->msg, ev->msg_len); break;
        case 'T': out.putf("%u", static_cast<unsigned>(ev->tid)); break;
        case 'U': out.putf("%lu", static_cast<unsigned long>(ev->time.tv_usec / 1000)); break;
        case 'Y': {
            char stamp[1024];
            size_t n = plume_time_format()[0] ? strftime(stamp, sizeof(stamp), plume_time_format(), &tm) : 0;
            out.put(stamp, static_cast<int>(n));
            break;
        }
        default: break;
        }
    }
    int pos = out.pos() >= size - 1 ? size - 2 : out.pos();
    ev->line[pos] = '\n';
    ev->line[pos + 1] = '\0';
    ev->line_len = pos + 1;
    return 0;
}

int Layout::formatNdc(plume_event_t* ev, char* buf, int size) {
    if (size <= 0) return 0;
    int pos = 0;
    // A key, value or '%' that does not fit ends the list, clipped to the room.
    auto put = [&](const char* text, int len) {
        if (pos + len < size) {
            memcpy(buf + pos, text, len);
            pos += len;
            return true;
        }
        memcpy(buf + pos, text, size - 1 - pos);
        buf[size - 1] = '\0';
        return false;
    };
    for (int i = 0; i < ev->ndc_num; ++i) {
        const plume_ndc_t& pair = ev->ndc[i];
        for (const char* p = ndc_pattern; *p; ++p) {
            if (*p != '%') {
                if (pos >= size - 1) return 0;
                buf[pos++] = *p;
                continue;
            }
            if (!*++p) break;
            bool fits = true;
            if (*p == 'K')
                fits = put(pair.key, static_cast<int>(strlen(pair.key)));
            else if (*p == 'V')
                fits = put(pair.value, static_cast<int>(strlen(pair.value)));
            else if (*p == '%')
                fits = put("%", 1);
            if (!fits) return size - 1;
        }
    }
    buf[pos] = '\0';
    return pos;
}

}  // namespace plumespace

plumespace::Layout* plume_default_layout() {
    static plumespace::Layout* layout = new plumespace::Layout();
    return layout;
}
