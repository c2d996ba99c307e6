#pragma once
// The checksums of formats that zlib's CRC-32 does not cover: Ogg pages, FLAC
// frames and the music CRC of an MP3's LAME tag.

#include <cstddef>
#include <cstdint>

namespace qv::sig {

// CRC-32 with polynomial 0x04C11DB7, MSB first, no reflection, start 0 (Ogg pages).
uint32_t ogg_crc(uint32_t crc, const uint8_t* data, size_t size);
// CRC-8 with polynomial 0x07, start 0 (FLAC frame headers).
uint8_t flac_crc8(uint8_t crc, const uint8_t* data, size_t size);
// CRC-16 with polynomial 0x8005, MSB first, start 0 (whole FLAC frames).
uint16_t flac_crc16(uint16_t crc, const uint8_t* data, size_t size);

// CRC-16 with polynomial 0x8005, LSB first (reflected), start 0: the CRC of an
// MP3's frames its LAME tag keeps.
uint16_t mp3_music_crc(uint16_t crc, const uint8_t* data, size_t size);

}  // namespace qv::sig
