// Pieces shared by the configuration table, its file reader and writer and number files.
#pragma once

#include "zulib/zu_conf.h"

// Writes value of type into out as text; false (out empty) for an unknown type.
bool zu_conf_format(char (&out)[ZU_CONF_TEXT_SIZE], const void* value, int type);
// Whether name can be written as a line and read back: one word, no line end.
bool zu_conf_writable_name(const char* name);
// Whether text holds a CR or LF.
bool zu_conf_has_line_end(const char* text);
