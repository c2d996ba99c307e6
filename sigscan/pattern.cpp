#include "sigscan/pattern.hpp"

#include <cstdio>

namespace qv::sig {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<byte_pattern> byte_pattern::parse(std::string_view text, std::string* error) {
    byte_pattern p;
    auto fail = [&](const std::string& why) -> std::optional<byte_pattern> {
        if (error) *error = why;
        return std::nullopt;
    };
    size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == ' ' || c == '\t' || c == ',') {
            ++i;
        } else if (c == '"') {
            ++i;
            bool closed = false;
            while (i < text.size()) {
                char t = text[i++];
                if (t == '"') {
                    closed = true;
                    break;
                }
                if (t == '\\') {
                    if (i >= text.size()) return fail("unfinished escape in a quoted text");
                    t = text[i++];
                    if (t != '\\' && t != '"') return fail("only \\\\ and \\\" may be escaped");
                }
                if (uint8_t(t) < 0x20 || uint8_t(t) > 0x7E) return fail("a quoted text holds ASCII only");
                p.bytes_.push_back(uint8_t(t));
                p.mask_.push_back(0xFF);
            }
            if (!closed) return fail("a quoted text is not closed");
        } else if (c == '?') {
            if (i + 1 >= text.size() || text[i + 1] != '?') return fail("a wildcard is written \"??\"");
            p.bytes_.push_back(0);
            p.mask_.push_back(0);
            i += 2;
        } else {
            int hi = hex_value(c);
            int lo = i + 1 < text.size() ? hex_value(text[i + 1]) : -1;
            if (hi < 0 || lo < 0) return fail("expected a hex byte, \"??\" or a quoted text near \"" +
                                              std::string(text.substr(i, 8)) + "\"");
            p.bytes_.push_back(uint8_t(hi << 4 | lo));
            p.mask_.push_back(0xFF);
            i += 2;
        }
    }
    if (p.bytes_.empty()) return fail("an empty signature");
    if (p.bytes_.size() > 64) return fail("a signature is at most 64 bytes");
    size_t a = 0;
    while (a < p.mask_.size() && p.mask_[a] == 0) ++a;
    if (a == p.mask_.size()) return fail("a signature needs at least one byte that is not \"??\"");
    p.anchor_ = a;
    return p;
}

byte_pattern byte_pattern::literal(std::string_view bytes) {
    byte_pattern p;
    p.bytes_.assign(bytes.begin(), bytes.end());
    p.mask_.assign(bytes.size(), 0xFF);
    return p;
}

bool byte_pattern::matches(const uint8_t* p) const {
    for (size_t i = 0; i < bytes_.size(); ++i)
        if ((p[i] & mask_[i]) != bytes_[i]) return false;
    return true;
}

std::string byte_pattern::text() const {
    std::string out;
    for (size_t i = 0; i < bytes_.size(); ++i) {
        if (!out.empty()) out += ' ';
        if (mask_[i] == 0) {
            out += "??";
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%02X", bytes_[i]);
            out += buf;
        }
    }
    return out;
}

}  // namespace qv::sig
