// The configuration table: allocation, typed getters, setters and adders.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <limits>
#include <type_traits>

#include "zu_conf_internal.h"
#include "zulib/zu_error.h"
#include "zulib/zu_string.h"
#include "zulib/zu_syscall.h"

namespace {

zu_confitem_t* find(const zu_conftable_t* table, const char* name) {
    for (int i = 0; i < table->count; ++i)
        if (strcmp(table->items[i].name, name) == 0) return &table->items[i];
    return nullptr;
}

// find, for a caller whose out argument must not be null either: error number 8 and null
// when an argument is.
zu_confitem_t* find_checked(const zu_conftable_t* table, const char* name, const void* out) {
    if (!table || !name || !out) {
        zu_seterrno(ZU_ERR_PARAM);
        return nullptr;
    }
    return find(table, name);
}

// An integer value as the getters read it: "0x" then hexadecimal digits, "0" then octal
// digits, else decimal, each after optional blanks and sign. Digits beyond what 64 bits
// hold set overflow.
struct Number {
    bool converted = false;
    bool overflow = false;
    bool negative = false;
    int base = 10;
    unsigned long long magnitude = 0;
};

int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

Number scan_number(const char* text) {
    Number n;
    if (strcmp(text, "0") == 0) {
        n.converted = true;
        return n;
    }
    const char* p = text;
    if (p[0] == '0' && p[1] == 'x') {
        n.base = 16;
        p += 2;
    } else if (p[0] == '0') {
        n.base = 8;
        p += 1;
    }
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    if (*p == '+' || *p == '-') n.negative = *p++ == '-';
    const unsigned long long limit = std::numeric_limits<unsigned long long>::max();
    for (int d; (d = digit_value(*p)) < n.base; ++p) {
        n.converted = true;
        if (n.magnitude > (limit - d) / n.base) n.overflow = true;
        n.magnitude = n.magnitude * n.base + d;
    }
    return n;
}

// The value of text as T, or false when it is not a number or does not fit: a decimal
// value must fit T, a hexadecimal or octal one T's bits.
template <typename T>
bool to_integer(const char* text, T* out) {
    Number n = scan_number(text);
    if (!n.converted || n.overflow) return false;
    using U = typename std::make_unsigned<T>::type;
    unsigned long long max = std::numeric_limits<U>::max();
    if (std::is_signed<T>::value && n.base == 10) max = n.negative ? max / 2 + 1 : max / 2;
    if (n.magnitude > max) return false;
    *out = static_cast<T>(static_cast<U>(n.negative ? 0ULL - n.magnitude : n.magnitude));
    return true;
}

template <typename T>
int get_integer(const zu_conftable_t* table, const char* name, T* value) {
    const zu_confitem_t* item = find_checked(table, name, value);
    return item && to_integer(item->value, value) ? 1 : 0;
}

// value is never null: an argument's address, or a text checked before.
int modify(zu_conftable_t* table, const char* name, const void* value, int type) {
    zu_confitem_t* item = find_checked(table, name, value);
    if (!item) return 0;
    zu_conf_format(item->value, value, type);
    return 1;
}

}  // namespace

bool zu_conf_format(char (&out)[ZU_CONF_TEXT_SIZE], const void* value, int type) {
    out[0] = '\0';
    switch (type) {
    case ZU_CONF_INT: snprintf(out, sizeof(out), "%d", *static_cast<const int*>(value)); return true;
    case ZU_CONF_UINT: snprintf(out, sizeof(out), "%u", *static_cast<const unsigned*>(value)); return true;
    case ZU_CONF_INT64: snprintf(out, sizeof(out), "%lld", *static_cast<const long long*>(value)); return true;
    case ZU_CONF_UINT64:
        snprintf(out, sizeof(out), "%llu", *static_cast<const unsigned long long*>(value));
        return true;
    case ZU_CONF_STR: zu_strlcpy(out, static_cast<const char*>(value), sizeof(out)); return true;
    case ZU_CONF_FLOAT: snprintf(out, sizeof(out), "%f", *static_cast<const float*>(value)); return true;
    default: return false;
    }
}

bool zu_conf_has_line_end(const char* text) { return strpbrk(text, "\r\n") != nullptr; }

bool zu_conf_writable_name(const char* name) {
    if (zu_conf_has_line_end(name)) return false;
    int words = 0;
    for (const char* p = name; *p; ++p)
        if (!isspace(static_cast<unsigned char>(*p)) && (p == name || isspace(static_cast<unsigned char>(p[-1]))))
            ++words;
    return words == 1;
}

zu_conftable_t* zu_initconf(int max) {
    int capacity = max > ZU_CONF_MIN_CAPACITY ? max : ZU_CONF_MIN_CAPACITY;
    auto* table = static_cast<zu_conftable_t*>(zu_calloc(1, sizeof(zu_conftable_t)));
    if (table) table->items = static_cast<zu_confitem_t*>(zu_calloc(capacity, sizeof(zu_confitem_t)));
    if (!table || !table->items) {
        zu_free(table);
        zu_seterrno(ZU_ERR_ALLOC);
        return nullptr;
    }
    table->capacity = capacity;
    return table;
}

int zu_freeconf(zu_conftable_t* table) {
    if (table) zu_free(table->items);
    zu_free(table);
    return 1;
}

int zu_getconfstr(const zu_conftable_t* table, const char* name, char* buf, size_t size) {
    if (!table || !name || !buf) {
        zu_seterrno(ZU_ERR_PARAM);
        return 0;
    }
    if (size > 0) memset(buf, 0, size);
    const zu_confitem_t* item = find(table, name);
    if (!item) return 0;
    zu_strlcpy(buf, item->value, size);
    return 1;
}

int zu_getconfint(const zu_conftable_t* table, const char* name, int* value) {
    return get_integer(table, name, value);
}

int zu_getconfuint(const zu_conftable_t* table, const char* name, unsigned* value) {
    return get_integer(table, name, value);
}

int zu_getconfint64(const zu_conftable_t* table, const char* name, long long* value) {
    return get_integer(table, name, value);
}

int zu_getconfuint64(const zu_conftable_t* table, const char* name, unsigned long long* value) {
    return get_integer(table, name, value);
}

int zu_getconffloat(const zu_conftable_t* table, const char* name, float* value) {
    const zu_confitem_t* item = find_checked(table, name, value);
    if (!item) return 0;
    *value = static_cast<float>(atof(item->value));
    return 1;
}

int zu_modifyconfstr(zu_conftable_t* table, const char* name, const char* value) {
    if (!table || !name || !value) {
        zu_seterrno(ZU_ERR_PARAM);
        return -1;
    }
    if (strlen(value) >= ZU_CONF_TEXT_SIZE) {
        zu_seterrno(ZU_ERR_PARAM);
        return -3;
    }
    return modify(table, name, value, ZU_CONF_STR);
}

int zu_modifyconfint(zu_conftable_t* table, const char* name, int value) {
    return modify(table, name, &value, ZU_CONF_INT);
}

int zu_modifyconfuint(zu_conftable_t* table, const char* name, unsigned value) {
    return modify(table, name, &value, ZU_CONF_UINT);
}

int zu_modifyconfint64(zu_conftable_t* table, const char* name, long long value) {
    return modify(table, name, &value, ZU_CONF_INT64);
}

int zu_modifyconfuint64(zu_conftable_t* table, const char* name, unsigned long long value) {
    return modify(table, name, &value, ZU_CONF_UINT64);
}

int zu_modifyconffloat(zu_conftable_t* table, const char* name, float value) {
    return modify(table, name, &value, ZU_CONF_FLOAT);
}

int zu_addconf(zu_conftable_t* table, const char* name, const void* value, int type) {
    if (!table || !name || !value) {
        zu_seterrno(ZU_ERR_PARAM);
        return -4;
    }
    if (strlen(name) >= ZU_CONF_TEXT_SIZE) {
        zu_seterrno(ZU_ERR_PARAM);
        return -1;
    }
    if (table->count >= table->capacity) {
        zu_seterrno(ZU_ERR_DETAIL);
        zu_seterrtext("can't add any more");
        return -2;
    }
    if (find(table, name)) return 0;
    if (type == ZU_CONF_STR && strlen(static_cast<const char*>(value)) >= ZU_CONF_TEXT_SIZE) {
        zu_seterrno(ZU_ERR_PARAM);
        return -3;
    }
    zu_confitem_t& item = table->items[table->count++];
    zu_strlcpy(item.name, name, sizeof(item.name));
    zu_conf_format(item.value, value, type);
    return 1;
}

int zu_addconfstr(zu_conftable_t* table, const char* name, const char* value) {
    return zu_addconf(table, name, value, ZU_CONF_STR);
}

int zu_addconfint(zu_conftable_t* table, const char* name, int value) {
    return zu_addconf(table, name, &value, ZU_CONF_INT);
}

int zu_addconfuint(zu_conftable_t* table, const char* name, unsigned value) {
    return zu_addconf(table, name, &value, ZU_CONF_UINT);
}

int zu_addconfint64(zu_conftable_t* table, const char* name, long long value) {
    return zu_addconf(table, name, &value, ZU_CONF_INT64);
}

int zu_addconfuint64(zu_conftable_t* table, const char* name, unsigned long long value) {
    return zu_addconf(table, name, &value, ZU_CONF_UINT64);
}

int zu_addconffloat(zu_conftable_t* table, const char* name, float value) {
    return zu_addconf(table, name, &value, ZU_CONF_FLOAT);
}
