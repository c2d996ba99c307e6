// Size rule for fonts: TrueType and OpenType table directories, WOFF and WOFF2.

#include <algorithm>
#include <cstring>
#include <vector>

#include "sigscan/rules/rules.hpp"

namespace qv::sig {

namespace {

constexpr size_t sfnt_header = 12, sfnt_record = 16;
constexpr uint32_t max_tables = 256;
constexpr uint32_t head_magic = 0x5F0F3CF5;
constexpr size_t head_magic_at = 12, head_min_length = 54;

bool tag_ok(const uint8_t* t) {
    for (int i = 0; i < 4; ++i)
        if (t[i] < 0x20 || t[i] > 0x7E) return false;
    return true;
}

std::optional<carve_result> measure_sfnt(carve_input& in, uint64_t start, uint64_t limit, bool cff) {
    uint8_t h[sfnt_header];
    if (!in.read(start, h, sizeof h)) return std::nullopt;
    byte_view hv(h, sizeof h);
    const uint32_t n = be16(hv, 4);
    if (n == 0 || n > max_tables) return std::nullopt;
    uint32_t power = 1, log2 = 0;
    while (power * 2 <= n) {
        power *= 2;
        ++log2;
    }
    if (be16(hv, 6) != power * 16 || be16(hv, 8) != log2 || be16(hv, 10) != n * 16 - power * 16)
        return std::nullopt;
    std::vector<uint8_t> records(n * sfnt_record);
    if (!in.read(start + sfnt_header, records.data(), records.size())) return std::nullopt;
    byte_view rv(records.data(), records.size());
    const uint64_t directory_end = sfnt_header + records.size();
    uint64_t extent = directory_end;
    bool head = false;
    for (uint32_t i = 0; i < n; ++i) {
        const size_t r = i * sfnt_record;
        if (!tag_ok(&records[r])) return std::nullopt;
        const uint64_t offset = be32(rv, r + 8), length = be32(rv, r + 12);
        if (offset < directory_end || offset % 4 != 0 || offset + length > limit) return std::nullopt;
        extent = std::max(extent, offset + length);
        if (std::memcmp(&records[r], "head", 4) == 0) {
            uint8_t m[4];
            if (length < head_min_length || !in.read(start + offset + head_magic_at, m, 4) ||
                be32(byte_view(m, 4), 0) != head_magic)
                return std::nullopt;
            head = true;
        }
    }
    if (!head) return std::nullopt;
    // Tables are padded to four bytes, the last one too.
    extent = (extent + 3) / 4 * 4;
    if (extent > limit) return std::nullopt;
    return sized(extent, limit, cff ? "otf" : "");
}

std::optional<carve_result> measure_woff(carve_input& in, uint64_t start, uint64_t limit) {
    constexpr size_t header = 44, record = 20;
    uint8_t h[header];
    if (!in.read(start, h, sizeof h)) return std::nullopt;
    byte_view hv(h, sizeof h);
    const uint64_t length = be32(hv, 8);
    const uint32_t n = be16(hv, 12);
    if (n == 0 || n > max_tables || be16(hv, 14) != 0 || length > limit) return std::nullopt;
    const uint64_t directory_end = header + uint64_t(n) * record;
    if (length < directory_end) return std::nullopt;
    std::vector<uint8_t> records(n * record);
    if (!in.read(start + header, records.data(), records.size())) return std::nullopt;
    byte_view rv(records.data(), records.size());
    for (uint32_t i = 0; i < n; ++i) {
        const size_t r = i * record;
        const uint64_t offset = be32(rv, r + 4), compressed = be32(rv, r + 8), original = be32(rv, r + 12);
        if (!tag_ok(&records[r]) || offset < directory_end || offset % 4 != 0 || compressed > original ||
            offset + compressed > length)
            return std::nullopt;
    }
    // Metadata and private blocks lie inside the file too.
    for (size_t at : {size_t(24), size_t(36)}) {
        const uint64_t offset = be32(hv, at), size = be32(hv, at + 4);
        if (size != 0 && (offset < directory_end || offset + size > length)) return std::nullopt;
    }
    return sized(length, limit, "woff");
}

std::optional<carve_result> measure_woff2(carve_input& in, uint64_t start, uint64_t limit) {
    constexpr size_t header = 48;
    uint8_t h[header];
    if (!in.read(start, h, sizeof h)) return std::nullopt;
    byte_view hv(h, sizeof h);
    const uint64_t length = be32(hv, 8);
    const uint32_t n = be16(hv, 12);
    const uint64_t compressed = be32(hv, 20);
    if (n == 0 || n > max_tables || be16(hv, 14) != 0 || length > limit) return std::nullopt;
    // The table directory: at least a flags byte and a one-byte length per table.
    if (compressed == 0 || header + 2 * uint64_t(n) + compressed > length) return std::nullopt;
    for (size_t at : {size_t(28), size_t(40)}) {
        const uint64_t offset = be32(hv, at), size = be32(hv, at + 4);
        if (size != 0 && (offset < header || offset + size > length)) return std::nullopt;
    }
    return sized(length, limit, "woff2");
}

}  // namespace

std::optional<carve_result> measure_font(carve_input& in, uint64_t start, uint64_t limit,
                                         const file_type&) {
    uint8_t m[4];
    if (!in.read(start, m, sizeof m)) return std::nullopt;
    if (std::memcmp(m, "wOFF", 4) == 0) return measure_woff(in, start, limit);
    if (std::memcmp(m, "wOF2", 4) == 0) return measure_woff2(in, start, limit);
    if (std::memcmp(m, "OTTO", 4) == 0) return measure_sfnt(in, start, limit, true);
    if (std::memcmp(m, "\0\1\0\0", 4) == 0 || std::memcmp(m, "true", 4) == 0)
        return measure_sfnt(in, start, limit, false);
    return std::nullopt;
}

}  // namespace qv::sig
