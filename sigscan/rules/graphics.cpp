// Size rules for graphics files: Photoshop documents (PSD, PSB) and Windows icons.

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "sigscan/rules/rules.hpp"

namespace qv::sig {

std::optional<carve_result> measure_psd(carve_input& in, uint64_t start, uint64_t limit,
                                        const file_type&) {
    constexpr size_t header_size = 26;
    constexpr uint32_t max_channels = 56;
    constexpr size_t counts_piece = 64 * 1024;
    uint8_t h[header_size];
    if (!in.read(start, h, sizeof h) || std::memcmp(h, "8BPS", 4) != 0) return std::nullopt;
    byte_view v(h, sizeof h);
    const uint16_t version = be16(v, 4);
    if (version != 1 && version != 2) return std::nullopt;
    const bool big = version == 2;
    for (size_t i = 6; i < 12; ++i)
        if (h[i] != 0) return std::nullopt;
    const uint32_t channels = be16(v, 12), height = be32(v, 14), width = be32(v, 18);
    const uint32_t depth = be16(v, 22), mode = be16(v, 24);
    const uint32_t max_side = big ? 300000 : 30000;
    if (channels == 0 || channels > max_channels || height == 0 || width == 0 || height > max_side ||
        width > max_side)
        return std::nullopt;
    if (depth != 1 && depth != 8 && depth != 16 && depth != 32) return std::nullopt;
    if (mode > 9 || mode == 5 || mode == 6) return std::nullopt;
    const uint64_t end = start + limit;
    uint64_t pos = start + header_size;
    // Colour mode data, image resources, then layer and mask information.
    for (int section = 0; section < 3; ++section) {
        const size_t width_of_length = big && section == 2 ? 8 : 4;
        uint8_t l[8];
        if (pos + width_of_length > end || !in.read(pos, l, width_of_length)) return std::nullopt;
        byte_view lv(l, width_of_length);
        uint64_t length = width_of_length == 8 ? be64(lv, 0) : be32(lv, 0);
        if (length > end - pos - width_of_length) return std::nullopt;
        if (section == 1 && length >= 4) {
            uint8_t sig[4];
            if (!in.read(pos + 4, sig, 4) || std::memcmp(sig, "8BIM", 4) != 0) return std::nullopt;
        }
        pos += width_of_length + length;
    }
    // The merged image: raw rows, or run-length rows after a table of their lengths.
    uint8_t c[2];
    if (pos + 2 > end || !in.read(pos, c, 2)) return std::nullopt;
    pos += 2;
    const uint16_t compression = uint16_t(c[0] << 8 | c[1]);
    const uint64_t rows = uint64_t(height) * channels;
    if (compression == 0) {
        const uint64_t row_bytes = (uint64_t(width) * depth + 7) / 8;
        pos = sat_add(pos, sat_mul(row_bytes, rows));
    } else if (compression == 1) {
        const size_t count_size = big ? 4 : 2;
        const uint64_t table = rows * count_size;
        if (table > end - pos) return std::nullopt;
        uint64_t data = 0;
        for (uint64_t done = 0; done < table;) {
            size_t n = size_t(std::min<uint64_t>(counts_piece, table - done));
            byte_view t = in.view(pos + done, n);
            if (t.size() != n) return std::nullopt;
            for (size_t i = 0; i + count_size <= n; i += count_size)
                data += count_size == 4 ? be32(t, i) : be16(t, i);
            done += n;
            if (!in.keep_going()) return std::nullopt;
        }
        pos = sat_add(pos, sat_add(table, data));
    } else {
        return std::nullopt;  // compressed with zip: no length to measure
    }
    if (pos > end) return std::nullopt;
    return sized(pos - start, limit, big ? "psb" : "");
}

std::optional<carve_result> measure_ico(carve_input& in, uint64_t start, uint64_t limit,
                                        const file_type&) {
    constexpr size_t header_size = 6, entry_size = 16;
    constexpr uint32_t bitmap_header = 40;
    static constexpr std::array<uint16_t, 7> depths{0, 1, 4, 8, 16, 24, 32};
    uint8_t h[header_size];
    if (!in.read(start, h, sizeof h)) return std::nullopt;
    byte_view hv(h, sizeof h);
    const uint16_t count = hv.le16(4);
    if (hv.le16(0) != 0 || hv.le16(2) != 1 || count == 0) return std::nullopt;
    std::vector<uint8_t> table(count * entry_size);
    if (!in.read(start + header_size, table.data(), table.size())) return std::nullopt;
    byte_view tv(table.data(), table.size());
    const uint64_t first_data = header_size + table.size();
    uint64_t extent = first_data;
    for (size_t i = 0; i < count; ++i) {
        const size_t e = i * entry_size;
        if (tv.u8(e + 3) != 0 || tv.le16(e + 4) > 1) return std::nullopt;  // reserved, planes
        if (std::find(depths.begin(), depths.end(), tv.le16(e + 6)) == depths.end()) return std::nullopt;
        const uint64_t size = tv.le32(e + 8), offset = tv.le32(e + 12);
        if (size < bitmap_header || offset < first_data || offset + size > limit) return std::nullopt;
        // Each image is a PNG or a bitmap without its file header.
        uint8_t image[8];
        if (!in.read(start + offset, image, sizeof image)) return std::nullopt;
        const bool png = image[0] == 0x89 && std::memcmp(image + 1, "PNG", 3) == 0;
        if (!png && byte_view(image, sizeof image).le32(0) != bitmap_header) return std::nullopt;
        extent = std::max(extent, offset + size);
    }
    return sized(extent, limit);
}

}  // namespace qv::sig
