// Configuration files: the line reader with "$include", and the writer.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "zu_conf_internal.h"
#include "zulib/zu_error.h"
#include "zulib/zu_log.h"
#include "zulib/zu_string.h"
#include "zulib/zu_syscall.h"

namespace {

constexpr int LINE_SIZE = 4096;  // a line of 4094 characters and its line end, terminated
constexpr size_t PATH_MAX_LEN = 4095;
constexpr size_t INCLUDE_PATH_MAX_LEN = 511;

enum class Line { ITEM, BLANK, BAD, NAME_TOO_LONG };

bool blank(char c) { return c == ' ' || c == '\t'; }
bool line_end(char c) { return c == '\r' || c == '\n'; }

// Parses one line into out: "name : value", blanks around both, the value running to
// the end of the line less its trailing blanks and line end.
Line parse_line(const char* p, zu_confitem_t* out) {
    while (blank(*p)) ++p;
    if (*p == '\0' || line_end(*p)) return Line::BLANK;
    if (*p == ':') return Line::BAD;
    const char* name = p;
    while (*p && !blank(*p) && *p != ':' && !line_end(*p)) ++p;
    size_t name_len = static_cast<size_t>(p - name);
    if (name_len >= ZU_CONF_TEXT_SIZE) return Line::NAME_TOO_LONG;
    if (*p == '\0' || line_end(*p)) return Line::BAD;
    bool separated = false;
    for (;; ++p) {
        if (*p == ':' && !separated) {
            separated = true;
        } else if (!blank(*p)) {
            break;
        }
    }
    // A last line that stops right after its name or separator is cut short.
    if (*p == '\0' || !separated) return Line::BAD;
    size_t value_len = strlen(p);
    while (value_len > 0 && (blank(p[value_len - 1]) || line_end(p[value_len - 1]))) --value_len;
    if (value_len >= ZU_CONF_TEXT_SIZE) return Line::BAD;
    memcpy(out->name, name, name_len);
    out->name[name_len] = '\0';
    memcpy(out->value, p, value_len);
    out->value[value_len] = '\0';
    return Line::ITEM;
}

// Reads one line, its line end included, into line; a line that does not fit is read to
// its end and reported as cut, so that its rest is never taken for lines of its own.
// False at the end of the file.
bool read_line(FILE* fp, char (&line)[LINE_SIZE], bool* cut) {
    size_t n = 0;
    *cut = false;
    for (int c = getc(fp); c != EOF; c = getc(fp)) {
        if (n + 1 < sizeof(line)) {
            line[n++] = static_cast<char>(c);
        } else {
            *cut = true;
        }
        if (c == '\n') break;
    }
    line[n] = '\0';
    return n > 0;
}

// Reads the file at path into the table from item `start`; 1, or -1 leaving `count`.
int read_file(const char* path, zu_conftable_t* table, int start) {
    struct stat st;
    if (zu_stat(path, &st) != 0 || !S_ISREG(st.st_mode)) {
        zu_writelog(ZU_LOG_FATAL, "[readconf] file (%s) not found or not linked to a regular file", path);
        return -1;
    }
    FILE* fp = zu_fopen(path, "r");
    if (!fp) {
        zu_writelog(ZU_LOG_FATAL, "[readconf] can't open file (%s)", path);
        return -1;
    }
    int count = start;
    int line_no = 0;
    char line[LINE_SIZE];
    bool cut = false;
    while (read_line(fp, line, &cut)) {
        ++line_no;
        if (count >= table->capacity) {
            zu_fclose(fp);
            return -1;
        }
        if (line[0] == '#') continue;
        Line kind = cut ? Line::BAD : parse_line(line, &table->items[count]);
        if (kind == Line::NAME_TOO_LONG) {
            zu_fclose(fp);
            return -1;
        }
        if (kind == Line::ITEM) ++count;
        if (kind == Line::BAD) zu_writelog(ZU_LOG_FATAL, "[readconf] line (%d) in conf file (%s) error", line_no, path);
    }
    bool failed = ferror(fp);
    zu_fclose(fp);
    if (failed) return -1;
    table->count = count;
    return 1;
}

// dir/file into path; false when an argument is null or the path is too long.
bool join(std::string* path, const char* dir, const char* file, size_t max_len) {
    if (!dir || !file) return false;
    *path = std::string(dir) + "/" + file;
    return path->size() <= max_len;
}

// The file an "$include" value names ("path" in double quotes, blanks allowed inside
// the quotes' ends) into named; false when it names none.
bool included_name(const char* value, std::string* named) {
    const char* p = value;
    while (blank(*p)) ++p;
    if (*p++ != '"') return false;
    while (blank(*p)) ++p;
    const char* end = strchr(p, '"');
    if (!end) return false;
    named->assign(p, static_cast<size_t>(end - p));
    return true;
}

// Reads one included file into path, named as written or relative to base_dir; 1 / -1.
int read_included(const std::string& named, const std::string& base_dir, zu_conftable_t* table,
                  std::string* path) {
    *path = named;
    bool as_written = named.compare(0, 1, "/") == 0 || named.compare(0, 2, "~/") == 0;
    if (!as_written && !join(path, base_dir.c_str(), named.c_str(), INCLUDE_PATH_MAX_LEN)) return -1;
    return read_file(path->c_str(), table, table->count);
}

int read_main(const char* dir, const char* file, zu_conftable_t* table, std::string* path) {
    if (!table || !join(path, dir, file, PATH_MAX_LEN)) {
        zu_seterrno(ZU_ERR_PARAM);
        return -1;
    }
    return read_file(path->c_str(), table, 0);
}

}  // namespace

int zu_readconf(const char* dir, const char* file, zu_conftable_t* table) {
    std::string path;
    return read_main(dir, file, table, &path);
}

int zu_readconf_ex(const char* dir, const char* file, zu_conftable_t* table) {
    std::string path;
    if (read_main(dir, file, table, &path) != 1) return -1;
    std::string base_dir = path.substr(0, path.rfind('/'));
    const int main_count = table->count;
    for (int i = 0; i < main_count; ++i) {
        if (zu_strncasecmp_n(table->items[i].name, "$include", sizeof("$include")) != 0) continue;
        std::string named, included;
        if (included_name(table->items[i].value, &named) && read_included(named, base_dir, table, &included) != 1)
            zu_writelog(ZU_LOG_WARNING, "[readconf] error: can't read conf[%s]", included.c_str());
    }
    return 1;
}

int writeconf(const char* dir, const char* file, const zu_conftable_t* table) {
    std::string path;
    if (!table || !join(&path, dir, file, PATH_MAX_LEN)) {
        zu_writelog(ZU_LOG_FATAL, "[writeconf] invalid param");
        return -1;
    }
    if (table->count > table->capacity || table->count <= 0) {
        zu_writelog(ZU_LOG_FATAL, "[writeconf] var's num (%d) size(%d) error", table->count, table->capacity);
        return -1;
    }
    FILE* fp = zu_fopen(path.c_str(), "w");
    if (!fp) {
        zu_writelog(ZU_LOG_FATAL, "[writeconf] fopen %s fail", path.c_str());
        return -1;
    }
    bool written = true;
    for (int i = 0; i < table->count; ++i) {
        const zu_confitem_t& item = table->items[i];
        // A line end in either part would make lines of its own.
        if (!zu_conf_writable_name(item.name) || zu_conf_has_line_end(item.value)) {
            zu_writelog(ZU_LOG_FATAL, "[writeconf] var's name (%s) error", item.name);
            continue;
        }
        if (fprintf(fp, "%s : %s\n", item.name, item.value) < 0) written = false;
    }
    if (zu_fclose(fp) != 0) written = false;
    return written ? 1 : -1;
}
