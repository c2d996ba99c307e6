#include "devices/utf16_text.hpp"

#include <cstdint>

namespace qv {

namespace {

constexpr char32_t replacement = 0xFFFD;

bool high_surrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool low_surrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }


}  // namespace

void append_code_point(std::string& out, char32_t c) {
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


void append_utf8(std::string& out, const char16_t* units, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const char32_t u = units[i];
        if (high_surrogate(u) && i + 1 < count && low_surrogate(units[i + 1])) {
            append_code_point(out, 0x10000 + ((u - 0xD800) << 10) + (char32_t(units[i + 1]) - 0xDC00));
            ++i;
        } else if (high_surrogate(u) || low_surrogate(u)) {
            append_code_point(out, replacement);
        } else {
            append_code_point(out, u);
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

std::u16string utf16_of(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        const uint8_t lead = uint8_t(utf8[i]);
        const size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3
                              : lead >= 0xF0 && lead < 0xF5 ? 4 : 0;
        char32_t c = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
        size_t taken = 1;
        while (length > 1 && taken < length && i + taken < utf8.size() && (uint8_t(utf8[i + taken]) & 0xC0) == 0x80)
            c = c << 6 | (uint8_t(utf8[i + taken++]) & 0x3F);
        static constexpr char32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (length == 0 || taken != length || c < shortest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            out += char16_t(replacement);
            i += length == 0 ? 1 : taken;
            continue;
        }
        i += length;
        if (c >= 0x10000) {
            out += char16_t(0xD800 + ((c - 0x10000) >> 10));
            out += char16_t(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += char16_t(c);
        }
    }
    return out;
}

}  // namespace qv
