// Turns an event into one text line: a line pattern of %-letters and an NDC pattern.
#pragma once

struct plume_event_t;

namespace plumespace {

class Layout {
public:
    Layout();
    virtual int format(plume_event_t* event);
    virtual int formatNdc(plume_event_t* event, char* buf, int size);
    virtual ~Layout();

    void setPattern(const char* pattern);
    void setNdcPattern(const char* pattern);

    char pattern[1024];
    char ndc_pattern[1024];
};

}  // namespace plumespace

// The process-wide layout of every device and appender given none; never freed.
plumespace::Layout* plume_default_layout();
