// Process title over the memory of the arguments and the environment strings.
#include "corvel/proc_title.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "corvel/fd_io.h"
#include "corvel/path.h"

extern char** environ;

namespace corvel {

namespace {

// Everything recorded at start-up lives for the whole process: a static block serves
// the small pieces, malloc the rest; nothing is ever freed.
constexpr size_t kArenaSize = 64 * 1024;
constexpr size_t kPrefixNameMax = 18;
constexpr size_t kLinkMax = 4096;

alignas(max_align_t) char g_arena[kArenaSize];
size_t g_arena_used = 0;

struct TitleState {
    bool init_called = false;
    char* start = nullptr;  // first argument as received: the title area
    size_t length = 0;      // 0 while not prepared
    char* argv0 = nullptr;
    char* dir = nullptr;
    char* name = nullptr;
    char* full_path = nullptr;
    char prefix[kPrefixNameMax + 3] = {};
    size_t prefix_len = 0;
};
TitleState g_title;

void* arena_alloc(size_t size) {
    size_t align = alignof(max_align_t);
    size_t rounded = (size + align - 1) / align * align;
    if (rounded <= kArenaSize - g_arena_used) {
        void* piece = g_arena + g_arena_used;
        g_arena_used += rounded;
        return piece;
    }
    return malloc(size);
}

char* arena_copy(const char* text, size_t len) {
    char* copy = static_cast<char*>(arena_alloc(len + 1));
    if (!copy) return nullptr;
    memcpy(copy, text, len);
    copy[len] = '\0';
    return copy;
}

char* arena_strdup(const char* text) { return text ? arena_copy(text, strlen(text)) : nullptr; }

// The part before the last slash: "." without one, "/" for a top-level entry.
std::string dir_part(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string last_component(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string read_link(const std::string& link) {
    char buf[kLinkMax + 1];
    ssize_t n = readlink(link.c_str(), buf, kLinkMax);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// The kernel's command name, cut at 15 characters; the argument's last component
// when that is what was cut.
std::string name_from_stat(const std::string& argv0_last) {
    FILE* stat = fopen("/proc/self/stat", "re");
    if (!stat) return "";
    char comm[16] = {};
    int got = fscanf(stat, "%*d (%15[^)]", comm);
    fclose(stat);
    if (got != 1) return "";
    std::string name = comm;
    if (name.size() == 15 && argv0_last.compare(0, 15, name) == 0) return argv0_last;
    return name;
}

std::string dir_from_open(const std::string& dir) {
    int fd = open(dir.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    std::string resolved = read_link("/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(fd));
    close_fd(fd);
    return resolved;
}

std::string dir_from_pwd(const std::string& argv0) {
    const char* pwd = getenv("PWD");
    if (argv0[0] == '/' || !pwd || pwd[0] != '/') return "";
    std::string joined = std::string(pwd) + "/" + dir_part(argv0);
    char* clean = normalize_path(joined.c_str(), false);
    if (!clean) return "";
    std::string dir = clean;
    free(clean);
    return dir;
}

// Records the program's directory and name, trying the most reliable way first.
bool find_program(const std::string& argv0) {
    std::string dir, name;
    std::string exe = read_link("/proc/" + std::to_string(getpid()) + "/exe");
    if (exe.find('/') != std::string::npos) {
        dir = dir_part(exe);
        name = last_component(exe);
    }
    if (name.empty()) name = name_from_stat(last_component(argv0));
    if (dir.empty()) dir = dir_from_open(dir_part(argv0));
    if (dir.empty()) dir = dir_from_pwd(argv0);
    if (dir.empty()) dir = dir_part(argv0);
    if (name.empty()) name = last_component(argv0);
    if (name.empty()) {
        errno = EINVAL;
        return false;
    }
    std::string full = dir + "/" + name;
    g_title.dir = arena_strdup(dir.c_str());
    g_title.name = arena_strdup(name.c_str());
    g_title.full_path = arena_strdup(full.c_str());
    if (!g_title.dir || !g_title.name || !g_title.full_path) {
        errno = ENOMEM;
        return false;
    }
    size_t cut = name.size() < kPrefixNameMax ? name.size() : kPrefixNameMax;
    memcpy(g_title.prefix, name.data(), cut);
    memcpy(g_title.prefix + cut, ": ", 3);
    g_title.prefix_len = cut + 2;
    return true;
}

// Copies the environment into the arena, the strings of the title area first, and
// makes the copy the process environment. Strings outside the area stay where
// they are. False when memory ran out (the environment is then left alone).
bool move_environment(size_t in_area) {
    size_t count = 0;
    while (environ[count]) ++count;
    char** table = static_cast<char**>(arena_alloc((count + 1) * sizeof(char*)));
    if (!table) return false;
    for (size_t i = 0; i < count; ++i) {
        table[i] = i < in_area ? arena_strdup(environ[i]) : environ[i];
        if (!table[i]) return false;
    }
    table[count] = nullptr;
    environ = table;
    return true;
}

}  // namespace

char** proc_title_init(int argc, char** argv) {
    if (!argv || argc < 1 || !argv[0] || g_title.init_called) {
        errno = EINVAL;
        return nullptr;
    }
    g_title.init_called = true;
    g_title.argv0 = arena_strdup(argv[0]);
    if (!g_title.argv0) {
        errno = ENOMEM;
        return nullptr;
    }
    if (!find_program(argv[0])) return nullptr;
    // The area runs over the strings that lie end to end from the first argument.
    char* end = argv[0] + strlen(argv[0]);
    int i = 1;
    while (i < argc && argv[i] && argv[i] == end + 1) {
        end = argv[i] + strlen(argv[i]);
        ++i;
    }
    size_t env_in_area = 0;
    char* env_end = end;
    if (i == argc || !argv[i]) {
        while (environ && environ[env_in_area] && environ[env_in_area] == env_end + 1) {
            env_end = environ[env_in_area] + strlen(environ[env_in_area]);
            ++env_in_area;
        }
    }
    char** args = static_cast<char**>(arena_alloc((static_cast<size_t>(argc) + 1) * sizeof(char*)));
    if (!args) {
        errno = ENOMEM;
        return nullptr;
    }
    for (int k = 0; k < argc; ++k) {
        args[k] = argv[k] ? arena_strdup(argv[k]) : nullptr;
        if (argv[k] && !args[k]) {
            errno = ENOMEM;
            return nullptr;
        }
    }
    args[argc] = nullptr;
    if (env_in_area > 0 && move_environment(env_in_area)) end = env_end;
    g_title.start = argv[0];
    g_title.length = static_cast<size_t>(end - argv[0]);
    return args;
}

int proc_title_set(const char* format, ...) {
    if (g_title.length == 0 || !g_title.start) {
        errno = EINVAL;
        return -1;
    }
    char* area = g_title.start;
    size_t room = g_title.length;
    size_t used = 0;
    if (!format) {
        used = strnlen(g_title.argv0, room);
        memcpy(area, g_title.argv0, used);
    } else {
        if (format[0] == '-') {
            ++format;
        } else {
            used = g_title.prefix_len < room ? g_title.prefix_len : room;
            memcpy(area, g_title.prefix, used);
        }
        // The terminating zero may land on the byte after the area, which already
        // ends the last string of it.
        va_list args;
        va_start(args, format);
        int n = vsnprintf(area + used, room - used + 1, format, args);
        va_end(args);
        if (n < 0) return -1;
        used += static_cast<size_t>(n) < room - used ? static_cast<size_t>(n) : room - used;
    }
    memset(area + used, 0, room - used);
    return 0;
}

const char* program_argv0() { return g_title.argv0; }
const char* program_dir() { return g_title.dir; }
const char* program_name() { return g_title.name; }
const char* program_full_path() { return g_title.full_path; }

char* program_relative_path(const char* path, bool force) {
    if (!path) {
        errno = EINVAL;
        return nullptr;
    }
    if (!g_title.dir) {
        errno = EPERM;
        return nullptr;
    }
    char* clean = normalize_path(path, false);
    if (!clean || (clean[0] == '/' && !force)) return clean;
    std::string joined = std::string(g_title.dir) + "/" + clean;
    free(clean);
    return normalize_path(joined.c_str(), false);
}

}  // namespace corvel
