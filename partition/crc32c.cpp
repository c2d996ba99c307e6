#include "partition/crc32c.hpp"

#include <array>

namespace qv::partition {
namespace {

constexpr uint32_t castagnoli_reflected = 0x82F63B78;

constexpr std::array<uint32_t, 256> make_table() {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ castagnoli_reflected : c >> 1;
        t[i] = c;
    }
    return t;
}

constexpr std::array<uint32_t, 256> table = make_table();

}  // namespace

uint32_t crc32c_update(uint32_t crc, const uint8_t* data, size_t len) {
    for (size_t i = 0; i < len; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

}  // namespace qv::partition
