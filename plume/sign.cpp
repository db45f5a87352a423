#include "sign.h"

#include <assert.h>
#include <string.h>

namespace plumespace {
namespace {

struct SignTables {
    uint32_t t1[256];
    uint32_t t2[256];
    SignTables() {
        uint64_t p1 = 1, p2 = 15824477;
        for (int i = 0; i < 256; ++i) {
            p1 = p1 * 256 % 16777213;
            t1[i] = static_cast<uint32_t>(p1);
            t2[i] = static_cast<uint32_t>(p2);
            p2 = p2 * 256 % 16777199;
        }
    }
};

const SignTables& tables() {
    static const SignTables t;
    return t;
}

}  // namespace

void x_creat_sign_f64(const char* text, int len, uint32_t* low, uint32_t* high) {
    assert(static_cast<int>(strlen(text)) == len);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    *low = 0;
    *high = 0;
    if (len <= 8) {
        // Short keys are held whole: they never collide.
        for (int i = 0; i < len && i < 4; ++i) *low |= static_cast<uint32_t>(bytes[i]) << (8 * i);
        for (int i = 4; i < len; ++i) *high |= static_cast<uint32_t>(bytes[i]) << (8 * (i - 4));
        return;
    }
    const SignTables& t = tables();
    for (int i = 0; i < len; ++i) {
        *low += bytes[i] * t.t1[i % 256];
        *high += bytes[i] * t.t2[i % 256];
    }
}

uint64_t sign_f64(const char* text) {
    uint32_t low, high;
    x_creat_sign_f64(text, static_cast<int>(strlen(text)), &low, &high);
    return (static_cast<uint64_t>(high) << 32) | low;
}

uint32_t nkeyhash(uint64_t sign) { return static_cast<uint32_t>(sign) + static_cast<uint32_t>(sign >> 32); }

}  // namespace plumespace
