// Library diagnostics on standard error: "[pid][thread][unit:line]text".
#pragma once

void plume_diag(const char* unit, int line, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

#define PLUME_DIAG(fmt, ...) plume_diag("plume", __LINE__, fmt, ##__VA_ARGS__)
