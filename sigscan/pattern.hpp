#pragma once
// A header or footer signature: bytes where some positions match any byte.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv::sig {

class byte_pattern {
public:
    byte_pattern() = default;
    // Parses "FF D8 ?? 'text'" style text: hex byte pairs, "??" for any byte and
    // double-quoted ASCII (with \\ and \" escapes). Empty on a syntax error.
    static std::optional<byte_pattern> parse(std::string_view text, std::string* error);
    static byte_pattern literal(std::string_view bytes);

    size_t size() const { return bytes_.size(); }
    bool empty() const { return bytes_.empty(); }
    // Index of the first byte that is not a wildcard (the dispatch byte).
    size_t anchor() const { return anchor_; }
    uint8_t byte(size_t i) const { return bytes_[i]; }
    bool is_wild(size_t i) const { return mask_[i] == 0; }
    // p must hold at least size() bytes.
    bool matches(const uint8_t* p) const;
    // The text form parse() reads back.
    std::string text() const;

    bool operator==(const byte_pattern&) const = default;

private:
    std::vector<uint8_t> bytes_;
    std::vector<uint8_t> mask_;  // 0xFF: must match, 0: any byte
    size_t anchor_ = 0;
};

}  // namespace qv::sig
