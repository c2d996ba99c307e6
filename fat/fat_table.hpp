#pragma once
// Writes allocation-table entries when building FAT images (the demo image, test images).

#include <cstdint>

namespace qv::fat {

// Stores a 12-bit entry for cluster c into a FAT12 table.
inline void put_fat12_entry(uint8_t* fat, uint32_t c, uint32_t value) {
    uint32_t b = c + c / 2;
    value &= 0xFFF;
    if (c & 1) {
        fat[b] = uint8_t((fat[b] & 0x0F) | (value << 4));
        fat[b + 1] = uint8_t(value >> 4);
    } else {
        fat[b] = uint8_t(value);
        fat[b + 1] = uint8_t((fat[b + 1] & 0xF0) | ((value >> 8) & 0x0F));
    }
}

}  // namespace qv::fat
