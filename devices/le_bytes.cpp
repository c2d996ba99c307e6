#include "devices/le_bytes.hpp"

#include <cstring>

namespace qv {

bool byte_view::equals(size_t off, std::span<const uint8_t> bytes) const {
    return has(off, bytes.size()) && std::memcmp(data_ + off, bytes.data(), bytes.size()) == 0;
}

bool byte_view::equals(size_t off, const char* ascii) const {
    size_t n = std::strlen(ascii);
    return has(off, n) && std::memcmp(data_ + off, ascii, n) == 0;
}

}  // namespace qv
