#include "sigscan/crc.hpp"

#include <array>

namespace qv::sig {

namespace {

template <typename T, unsigned Bits, uint32_t Poly>
constexpr std::array<T, 256> msb_table() {
    std::array<T, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i << (Bits - 8);
        for (int k = 0; k < 8; ++k) {
            bool top = r & (uint32_t(1) << (Bits - 1));
            r <<= 1;
            if (top) r ^= Poly;
        }
        table[i] = T(Bits == 32 ? r : r & ((uint32_t(1) << Bits) - 1));
    }
    return table;
}

// The reflected form: bit 0 first, polynomial 0x8005 reversed.
constexpr std::array<uint16_t, 256> lsb_crc16_table() {
    std::array<uint16_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i;
        for (int k = 0; k < 8; ++k) r = (r & 1) ? (r >> 1) ^ 0xA001 : r >> 1;
        table[i] = uint16_t(r);
    }
    return table;
}

constexpr auto ogg_table = msb_table<uint32_t, 32, 0x04C11DB7>();
constexpr auto crc8_table = msb_table<uint8_t, 8, 0x07>();
constexpr auto crc16_table = msb_table<uint16_t, 16, 0x8005>();
constexpr auto music_crc_table = lsb_crc16_table();

}  // namespace

uint32_t ogg_crc(uint32_t crc, const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) crc = crc << 8 ^ ogg_table[(crc >> 24) ^ data[i]];
    return crc;
}

uint8_t flac_crc8(uint8_t crc, const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) crc = crc8_table[crc ^ data[i]];
    return crc;
}

uint16_t flac_crc16(uint16_t crc, const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) crc = uint16_t(crc << 8) ^ crc16_table[(crc >> 8) ^ data[i]];
    return crc;
}

uint16_t mp3_music_crc(uint16_t crc, const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) crc = uint16_t(crc >> 8) ^ music_crc_table[(crc ^ data[i]) & 0xFF];
    return crc;
}

}  // namespace qv::sig
