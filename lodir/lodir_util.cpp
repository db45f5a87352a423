#include "lodir/lodir_util.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "lodir/lodir_settings.h"

namespace lodir {

int GetLocalHostName(std::string& out) {
    char name[256];
    memset(name, 0, sizeof(name));
    // One byte short of the buffer, so a cut name still ends in NUL.
    if (gethostname(name, sizeof(name) - 1) != 0) {
        return -1;
    }
    char* suffix = strstr(name, kDomainSuffix);
    if (suffix != nullptr) {
        *suffix = '\0';
    }
    out = name;
    return 0;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    if (text.empty() || prefix.empty() || text.size() < prefix.size()) {
        return false;
    }
    return text.compare(0, prefix.size(), prefix) == 0;
}

namespace {

bool IsControlByte(char c) {
    const unsigned char byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

}  // namespace

bool HasControlBytes(const std::string& text) {
    return std::any_of(text.begin(), text.end(), IsControlByte);
}

std::string EscapeControlBytes(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (IsControlByte(c)) {
            char code[5];
            snprintf(code, sizeof(code), "\\x%02x", static_cast<unsigned char>(c));
            out += code;
        } else {
            out += c;
        }
    }
    return out;
}

std::string GetBinaryPath() {
    char path[4096];
    ssize_t len = readlink("/proc/self/exe", path, sizeof(path));
    if (len < 1) {
        return "<unknown binary path>";
    }
    return std::string(path, static_cast<size_t>(len));
}

std::string GetBaseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string GetDirName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string GetProcessName() {
    std::string name;
    FILE* cmdline = fopen("/proc/self/cmdline", "r");
    if (cmdline != nullptr) {
        char args[4096];
        memset(args, 0, sizeof(args));
        if (fgets(args, sizeof(args) - 1, cmdline) != nullptr) {
            name = GetBaseName(args);  // the first argument ends at its NUL
        }
        fclose(cmdline);
    }
    return name.empty() ? GetBaseName(GetBinaryPath()) : name;
}

std::string GetBinaryDir() {
    return GetDirName(GetBinaryPath());
}

}  // namespace lodir
