#include "identity_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <charconv>
#include <string_view>

#include "corvel/fd_io.h"
#include "saved_file.h"

namespace tendwell {

namespace {

const char kHeader[] = "tendwell identity 1\n";
const char kBootTag[] = "boot ";
const char kBootIdPath[] = "/proc/sys/kernel/random/boot_id";
// Far more than a line for each of a hundred thousand processes: a larger file is
// none of the keeper's.
constexpr off_t kMaxBytes = 16 * 1024 * 1024;

void Number(std::string* text, unsigned long long value, char after) {
    char digits[24];
    text->append(digits, std::to_chars(digits, digits + sizeof(digits), value).ptr);
    text->push_back(after);
}

// Takes a decimal number followed by after from the front of rest.
template <class T>
bool TakeNumber(std::string_view* rest, char after, T* value) {
    const char* end = rest->data() + rest->size();
    std::from_chars_result result = std::from_chars(rest->data(), end, *value);
    if (result.ec != std::errc() || result.ptr == rest->data() || result.ptr == end ||
        *result.ptr != after) {
        return false;
    }
    rest->remove_prefix(static_cast<size_t>(result.ptr - rest->data()) + 1);
    return true;
}

bool Parse(std::string_view text, std::string* boot, StartTable* starts) {
    if (text.substr(0, sizeof(kHeader) - 1) != kHeader) return false;
    text.remove_prefix(sizeof(kHeader) - 1);
    if (text.substr(0, sizeof(kBootTag) - 1) != kBootTag) return false;
    text.remove_prefix(sizeof(kBootTag) - 1);
    const size_t end = text.find('\n');
    if (end == 0 || end == std::string_view::npos) return false;
    boot->assign(text.substr(0, end));
    text.remove_prefix(end + 1);
    while (!text.empty()) {
        pid_t pid = 0;
        uint64_t ticks = 0;
        size_t length = 0;
        if (!TakeNumber(&text, ' ', &pid) || !TakeNumber(&text, ' ', &ticks) ||
            !TakeNumber(&text, ' ', &length) || pid <= 1 || length >= text.size() ||
            text[length] != '\n') {
            return false;
        }
        starts->emplace(std::make_pair(std::string(text.substr(0, length)), pid), ticks);
        text.remove_prefix(length + 1);
    }
    return true;
}

}  // namespace

std::string ReadBootId() {
    int fd = open(kBootIdPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    char buf[64];
    const ssize_t got = corvel::read_fd(fd, buf, sizeof(buf));
    close(fd);
    std::string_view id(buf, got > 0 ? static_cast<size_t>(got) : 0);
    while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.remove_suffix(1);
    return id.find_first_of(" \n") == std::string_view::npos ? std::string(id) : "";
}

bool KnownByPid(const ProcessKeeper::Process& process) {
    return !process.command.empty() || process.check_command.empty();
}

std::string IdentityText(const std::string& boot,
                         const std::map<std::string, ProcessKeeper::Process>& table) {
    std::string text = kHeader;
    text.reserve(64 + table.size() * 40);
    text += kBootTag;
    text += boot;
    text += '\n';
    for (const auto& item : table) {
        const ProcessKeeper::Process& process = item.second;
        if (process.pid <= 1 || !KnownByPid(process)) continue;
        Number(&text, static_cast<unsigned long long>(process.pid), ' ');
        Number(&text, process.start_ticks, ' ');
        Number(&text, item.first.size(), ' ');
        text += item.first;
        text += '\n';
    }
    return text;
}

int ReadIdentityFile(const std::string& path, std::string* boot, StartTable* starts,
                     std::string* reason) {
    struct stat st;
    int fd = OpenTrusted(path, &st);
    if (fd < 0 && errno == ENOENT) return 0;
    if (fd >= 0 && st.st_size > kMaxBytes) {
        close(fd);
        *reason = "is larger than any the keeper writes";
        return -1;
    }
    std::string text;
    if (fd >= 0) {
        text.resize(static_cast<size_t>(st.st_size));
        const ssize_t got = corvel::read_all(fd, &text[0], text.size(), -1);
        if (got != static_cast<ssize_t>(text.size())) text.clear();
    }
    const int error = errno;
    if (fd >= 0) close(fd);
    if (fd >= 0 && !text.empty() && Parse(text, boot, starts)) return 1;
    if (fd < 0 && error == EPERM) {
        *reason = "is not a regular file of this user writable by it alone";
    } else if (fd < 0) {
        char words[256];
        *reason = std::string("cannot be read: ") + strerror_r(error, words, sizeof(words));
    } else {
        *reason = "is damaged";
    }
    starts->clear();
    return -1;
}

}  // namespace tendwell
