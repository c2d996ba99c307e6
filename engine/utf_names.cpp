#include "engine/utf_names.hpp"

namespace qv {

namespace {

void put(std::string& out, char32_t c) {
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

std::string utf8_of(const char16_t* name, size_t max_units) {
    std::string out;
    if (!name) return out;
    for (size_t i = 0; i < max_units && name[i]; ++i) {
        char16_t u = name[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < max_units && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
            put(out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(name[i + 1]) - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            put(out, 0xFFFD);
        } else {
            put(out, u);
        }
    }
    return out;
}

}  // namespace qv
