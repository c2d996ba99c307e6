// Code page 936 conversions through glibc's iconv.
#include <iconv.h>

#include <cstring>
#include <mutex>

#include "fat/fat_reader.hpp"

namespace {

// iconv descriptors are not thread-safe; the conversions are short and rare.
std::mutex cp936_mutex;

iconv_t decoder() {
    static iconv_t cd = iconv_open("UTF-16LE", "CP936");
    return cd;
}

iconv_t encoder() {
    static iconv_t cd = iconv_open("CP936", "UTF-16LE");
    return cd;
}

}  // namespace

namespace qv {

char16_t cp936_to_unicode(uint16_t code) {
    char in[2];
    size_t in_len;
    if (code < 0x80) return char16_t(code);
    if (code < 0x100) {
        in[0] = char(code);
        in_len = 1;
    } else {
        in[0] = char(code >> 8);
        in[1] = char(code & 0xFF);
        in_len = 2;
    }
    std::lock_guard lock(cp936_mutex);
    iconv_t cd = decoder();
    if (cd == iconv_t(-1)) return 0;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char out[8];
    char* pin = in;
    char* pout = out;
    size_t out_len = sizeof out;
    if (iconv(cd, &pin, &in_len, &pout, &out_len) == size_t(-1) || in_len != 0) return 0;
    if (sizeof out - out_len != 2) return 0;  // outside the basic plane
    return char16_t(uint8_t(out[0]) | uint8_t(out[1]) << 8);
}

uint16_t unicode_to_cp936(char16_t unit) {
    if (unit < 0x80) return unit;
    std::lock_guard lock(cp936_mutex);
    iconv_t cd = encoder();
    if (cd == iconv_t(-1)) return 0;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char in[2] = {char(unit & 0xFF), char(unit >> 8)};
    char out[8];
    char* pin = in;
    char* pout = out;
    size_t in_len = 2, out_len = sizeof out;
    if (iconv(cd, &pin, &in_len, &pout, &out_len) == size_t(-1) || in_len != 0) return 0;
    size_t n = sizeof out - out_len;
    if (n == 1) return uint8_t(out[0]);
    if (n == 2) return uint16_t(uint8_t(out[0]) << 8 | uint8_t(out[1]));
    return 0;
}

char16_t fat_upper(char16_t c) {
    if (c >= u'a' && c <= u'z') return char16_t(c - 0x20);
    if (c < 0x80) return c;
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return char16_t(c - 0x20);
    if (c == 0xFF) return 0x178;
    if (c >= 0x100 && c <= 0x17F) {
        // Latin Extended-A pairs: even upper, odd lower, except the runs
        // 0x139-0x148 and 0x179-0x17E, which pair odd upper with even lower.
        if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
        bool odd_upper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (odd_upper) return (c % 2 == 0) ? char16_t(c - 1) : c;
        return (c % 2 == 1) ? char16_t(c - 1) : c;
    }
    if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return char16_t(c - 0x20);
    if (c >= 0x430 && c <= 0x44F) return char16_t(c - 0x20);
    if (c >= 0x450 && c <= 0x45F) return char16_t(c - 0x50);
    if (c >= 0x2170 && c <= 0x217F) return char16_t(c - 0x10);
    if (c >= 0xFF41 && c <= 0xFF5A) return char16_t(c - 0x20);
    return c;
}

}  // namespace qv
