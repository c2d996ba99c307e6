// Size rule for Fujifilm's RAF: the header's offsets and lengths of the
// preview JPEG, the metadata container and the sensor data.

#include <algorithm>
#include <cstring>

#include "sigscan/rules/rules.hpp"

namespace qv::sig {

std::optional<carve_result> measure_raf(carve_input& in, uint64_t start, uint64_t limit,
                                        const file_type&) {
    constexpr size_t magic_size = 16;   // "FUJIFILMCCD-RAW "
    constexpr size_t version_at = 16;   // four digits, "0201"
    constexpr size_t pieces_at = 84;    // three (offset, length) pairs, big-endian
    constexpr size_t header_size = pieces_at + 24;
    uint8_t h[header_size];
    if (!in.read(start, h, sizeof h)) return std::nullopt;
    if (std::memcmp(h, "FUJIFILMCCD-RAW ", magic_size) != 0) return std::nullopt;
    for (size_t i = version_at; i < version_at + 4; ++i)
        if (h[i] < '0' || h[i] > '9') return std::nullopt;
    byte_view v(h, sizeof h);
    uint64_t extent = header_size;
    bool has_jpeg = false, has_raw = false;
    for (size_t k = 0; k < 3; ++k) {
        uint64_t off = be32(v, pieces_at + 8 * k), len = be32(v, pieces_at + 8 * k + 4);
        if (len == 0) continue;
        if (off < header_size || off + len > limit) return std::nullopt;
        extent = std::max(extent, off + len);
        if (k == 0) has_jpeg = byte_at(in, start + off) == 0xFF && byte_at(in, start + off + 1) == 0xD8;
        if (k == 2) has_raw = true;
    }
    if (!has_jpeg || !has_raw) return std::nullopt;
    return sized(extent, limit);
}

}  // namespace qv::sig
