#include "devices/utf16_text.hpp"

#include <cstdint>

namespace qv {

namespace {

constexpr char32_t replacement = 0xFFFD;

bool high_surrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool low_surrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

void put_code_point(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

}  // namespace

void append_utf8(std::string& out, const char16_t* units, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const char32_t u = units[i];
        if (high_surrogate(u) && i + 1 < count && low_surrogate(units[i + 1])) {
            put_code_point(out, 0x10000 + ((u - 0xD800) << 10) + (char32_t(units[i + 1]) - 0xDC00));
            ++i;
        } else if (high_surrogate(u) || low_surrogate(u)) {
            put_code_point(out, replacement);
        } else {
            put_code_point(out, u);
        }
    }
}

std::string utf8_of(const char16_t* name, size_t max_units) {
    std::string out;
    if (!name) return out;
    size_t length = 0;
    while (length < max_units && name[length]) ++length;
    append_utf8(out, name, length);
    return out;
}

}  // namespace qv
