// Small helpers of the naming lookup: the host name the naming service knows
// this machine by, a byte-prefix test, control bytes of a reply's text, and the
// running executable's path.
#pragma once

#include <string>

namespace lodir {

// This machine's host name cut at the organisation domain suffix (the build
// setting TENDWELL_DOMAIN_SUFFIX). 0, or -1 with out untouched.
int GetLocalHostName(std::string& out);

// True when both are non-empty and text begins with the bytes of prefix; no
// path-component check.
bool StartsWith(const std::string& text, const std::string& prefix);

// The executable's path from /proc/self/exe, or "<unknown binary path>".
std::string GetBinaryPath();

// True when text holds a control byte: 0x00 to 0x1f or 0x7f (bytes from 0x80 up are
// text of other scripts).
bool HasControlBytes(const std::string& text);

// text with each control byte written as \xNN, fit for a log line or a terminal.
std::string EscapeControlBytes(const std::string& text);

// The part after the last '/': all of path without one, empty when it ends in '/'.
std::string GetBaseName(const std::string& path);

// The part up to and including the last '/'; empty without one.
std::string GetDirName(const std::string& path);

// The base name of the first argument, else of the executable's path.
std::string GetProcessName();

// The directory of the executable, with its trailing '/'.
std::string GetBinaryDir();

}  // namespace lodir
