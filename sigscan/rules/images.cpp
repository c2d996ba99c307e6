// Size rules for pictures: JPEG, PNG, GIF, BMP and TIFF (with the camera RAW
// formats built on TIFF: DNG, CR2, NEF, ARW, PEF, ORF, RW2).

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "sigscan/rules/rules.hpp"

namespace qv::sig {

namespace {

// JPEG markers without a length field.
bool jpeg_standalone(int m) { return m == 0x01 || (m >= 0xD0 && m <= 0xD7); }
// Start-of-frame markers: C0-CF except DHT (C4), JPG (C8) and DAC (CC).
bool jpeg_sof(int m) { return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC; }

// From off inside entropy-coded data: the offset of the next marker's FF, or npos.
uint64_t jpeg_skip_entropy(carve_input& in, uint64_t off, uint64_t end) {
    constexpr size_t chunk = 64 * 1024;
    while (off < end) {
        byte_view v = in.view(off, size_t(std::min<uint64_t>(chunk, end - off)));
        if (v.empty()) return carve_input::npos;
        const uint8_t* d = v.data();
        size_t i = 0;
        while (i < v.size()) {
            const void* hit = std::memchr(d + i, 0xFF, v.size() - i);
            if (!hit) {
                i = v.size();
                break;
            }
            size_t at = size_t(static_cast<const uint8_t*>(hit) - d);
            int next = at + 1 < v.size() ? d[at + 1] : byte_at(in, off + at + 1);
            if (next < 0) return carve_input::npos;
            if (next == 0x00 || (next >= 0xD0 && next <= 0xD7) || next == 0xFF) {
                i = at + 1;  // stuffed byte, restart marker or fill: still data
                continue;
            }
            return off + at;
        }
        off += v.size();
    }
    return carve_input::npos;
}

constexpr size_t png_signature_size = 8;
constexpr size_t png_chunk_overhead = 12;  // length, type, CRC
constexpr uint32_t png_ihdr_length = 13;

bool png_type_ok(const uint8_t* t) {
    for (int i = 0; i < 4; ++i) {
        uint8_t c = t[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
    }
    return true;
}

// GIF data sub-blocks from off; the offset after the terminating empty block, or npos.
uint64_t gif_skip_blocks(carve_input& in, uint64_t off, uint64_t end) {
    while (off < end) {
        int n = byte_at(in, off);
        if (n < 0) return carve_input::npos;
        off += 1;
        if (n == 0) return off;
        off += uint64_t(n);
    }
    return carve_input::npos;
}

}  // namespace

std::optional<carve_result> measure_jpeg(carve_input& in, uint64_t start, uint64_t limit,
                                         const file_type&) {
    const uint64_t end = start + limit;
    uint64_t pos = start + 2;  // after SOI
    bool frame = false, scan = false;
    int segments = 0;
    while (pos < end) {
        if (byte_at(in, pos) != 0xFF) return std::nullopt;
        int m = byte_at(in, pos + 1);
        int fill = 0;
        while (m == 0xFF && fill++ < 64) m = byte_at(in, ++pos + 1);
        if (m < 0) return std::nullopt;
        pos += 2;  // past the marker
        if (m == 0xD9) {
            if (!frame || !scan) return std::nullopt;
            return sized(pos - start, limit);
        }
        if (jpeg_standalone(m)) {
            if (!scan) return std::nullopt;
            continue;
        }
        if (m == 0xD8 || m < 0xC0) return std::nullopt;
        // The first segment of a real file is an APPn, a table, a frame or a comment.
        if (segments++ == 0 && !((m >= 0xE0 && m <= 0xEF) || m == 0xDB || m == 0xC4 || m == 0xFE ||
                                 m == 0xDD || jpeg_sof(m)))
            return std::nullopt;
        int hi = byte_at(in, pos), lo = byte_at(in, pos + 1);
        if (hi < 0 || lo < 0) return std::nullopt;
        uint32_t length = uint32_t(hi) << 8 | uint32_t(lo);
        if (length < 2) return std::nullopt;
        if (jpeg_sof(m)) {
            if (length < 8) return std::nullopt;
            frame = true;
        }
        pos += length;
        if (m == 0xDA) {
            if (!frame) return std::nullopt;
            scan = true;
            pos = jpeg_skip_entropy(in, pos, end);
            if (pos == carve_input::npos) return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<carve_result> measure_png(carve_input& in, uint64_t start, uint64_t limit,
                                        const file_type&) {
    const uint64_t end = start + limit;
    uint64_t pos = start + png_signature_size;
    bool first = true;
    while (pos + png_chunk_overhead <= end) {
        uint8_t h[8 + png_ihdr_length + 4];
        if (!in.read(pos, h, 8)) return std::nullopt;
        byte_view v(h, 8);
        uint32_t length = be32(v, 0);
        if (length > 0x7FFFFFFFu || !png_type_ok(h + 4)) return std::nullopt;
        if (first) {
            if (std::memcmp(h + 4, "IHDR", 4) != 0 || length != png_ihdr_length) return std::nullopt;
            if (!in.read(pos, h, sizeof h)) return std::nullopt;
            uint32_t crc = uint32_t(crc32(0, h + 4, 4 + png_ihdr_length));
            if (crc != be32(byte_view(h, sizeof h), 8 + png_ihdr_length)) return std::nullopt;
            first = false;
        }
        uint64_t next = pos + png_chunk_overhead + length;
        if (next > end) return std::nullopt;
        if (std::memcmp(h + 4, "IEND", 4) == 0) {
            if (length != 0) return std::nullopt;
            return sized(next - start, limit);
        }
        pos = next;
    }
    return std::nullopt;
}

std::optional<carve_result> measure_gif(carve_input& in, uint64_t start, uint64_t limit,
                                        const file_type&) {
    constexpr size_t screen_descriptor_end = 13;
    constexpr size_t image_descriptor_size = 10;
    const uint64_t end = start + limit;
    uint8_t h[screen_descriptor_end];
    if (!in.read(start, h, sizeof h)) return std::nullopt;
    uint64_t pos = start + screen_descriptor_end;
    if (h[10] & 0x80) pos += 3u << ((h[10] & 7) + 1);
    bool image = false;
    while (pos < end) {
        int b = byte_at(in, pos);
        if (b == 0x3B) {
            if (!image) return std::nullopt;
            return sized(pos + 1 - start, limit);
        }
        if (b == 0x21) {
            if (byte_at(in, pos + 1) < 0) return std::nullopt;
            pos = gif_skip_blocks(in, pos + 2, end);
        } else if (b == 0x2C) {
            uint8_t d[image_descriptor_size + 1];
            if (!in.read(pos, d, sizeof d)) return std::nullopt;
            pos += image_descriptor_size;
            if (d[9] & 0x80) pos += 3u << ((d[9] & 7) + 1);
            int code_size = byte_at(in, pos);
            if (code_size < 1 || code_size > 12) return std::nullopt;
            pos = gif_skip_blocks(in, pos + 1, end);
            image = true;
        } else {
            return std::nullopt;
        }
        if (pos == carve_input::npos) return std::nullopt;
    }
    return std::nullopt;
}

std::optional<carve_result> measure_bmp(carve_input& in, uint64_t start, uint64_t limit,
                                        const file_type&) {
    constexpr size_t file_header_size = 14;
    constexpr size_t bf_size = 2, bf_data_offset = 10, dib_size_at = 14;
    uint8_t h[64];
    if (!in.read(start, h, sizeof h)) return std::nullopt;
    byte_view v(h, sizeof h);
    uint32_t file_size = v.le32(bf_size);
    uint32_t data_offset = v.le32(bf_data_offset);
    uint32_t dib = v.le32(dib_size_at);
    static constexpr std::array<uint32_t, 7> dib_sizes{12, 40, 52, 56, 64, 108, 124};
    if (std::find(dib_sizes.begin(), dib_sizes.end(), dib) == dib_sizes.end()) return std::nullopt;
    int64_t width, height;
    uint16_t planes, bpp;
    uint32_t compression = 0;
    if (dib == 12) {
        width = v.le16(18);
        height = v.le16(20);
        planes = v.le16(22);
        bpp = v.le16(24);
    } else {
        width = int32_t(v.le32(18));
        height = int32_t(v.le32(22));
        planes = v.le16(26);
        bpp = v.le16(28);
        compression = v.le32(30);
    }
    static constexpr std::array<uint16_t, 8> depths{1, 2, 4, 8, 16, 24, 32, 64};
    if (planes != 1 || std::find(depths.begin(), depths.end(), bpp) == depths.end()) return std::nullopt;
    if (width <= 0 || height == 0 || width > 0x100000 || compression > 13) return std::nullopt;
    if (data_offset < file_header_size + dib || data_offset >= file_size) return std::nullopt;
    if (compression == 0 || compression == 3) {  // uncompressed: rows must fit
        uint64_t stride = (uint64_t(width) * bpp + 31) / 32 * 4;
        uint64_t rows = uint64_t(height < 0 ? -height : height);
        if (sat_add(data_offset, sat_mul(stride, rows)) > file_size) return std::nullopt;
    }
    return sized(file_size, limit);
}

namespace {

struct tiff_reader {
    carve_input& in;
    uint64_t start;
    uint64_t limit;
    bool little;

    bool read(uint64_t off, void* out, size_t n) {
        return off <= limit && n <= limit - off && in.read(start + off, out, n);
    }
    uint32_t u16(const uint8_t* p) const {
        return little ? uint32_t(p[0] | p[1] << 8) : uint32_t(p[0] << 8 | p[1]);
    }
    uint32_t u32(const uint8_t* p) const {
        return little ? uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24
                      : uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
    }
};

constexpr uint32_t tiff_type_size(uint32_t type) {
    switch (type) {
        case 1: case 2: case 6: case 7: return 1;
        case 3: case 8: return 2;
        case 4: case 9: case 11: case 13: return 4;
        case 5: case 10: case 12: return 8;
        default: return 0;
    }
}

struct tiff_entry {
    uint32_t tag = 0, type = 0, count = 0;
    uint8_t value[4] = {};
};

constexpr size_t tiff_max_values = size_t(1) << 20;

// The SHORT or LONG values of an entry, inline or out of line.
bool tiff_values(tiff_reader& r, const tiff_entry& e, std::vector<uint32_t>& out) {
    uint32_t size = tiff_type_size(e.type);
    if ((e.type != 3 && e.type != 4 && e.type != 13) || e.count > tiff_max_values) return false;
    std::vector<uint8_t> raw(size_t(e.count) * size);
    if (raw.size() <= 4) {
        std::memcpy(raw.data(), e.value, raw.size());
    } else if (!r.read(r.u32(e.value), raw.data(), raw.size())) {
        return false;
    }
    out.resize(e.count);
    for (size_t i = 0; i < e.count; ++i)
        out[i] = size == 2 ? r.u16(&raw[i * 2]) : r.u32(&raw[i * 4]);
    return true;
}

}  // namespace

namespace {

// The camera RAW format of a TIFF-structured file, from its magic, the maker
// name in the first directory and the DNG version tag; empty for plain TIFF.
std::string_view tiff_kind(const uint8_t* h, std::string_view make, bool dng) {
    if ((h[2] == 'R' && (h[3] == 'O' || h[3] == 'S')) || (h[2] == 'O' && h[3] == 'R')) return "orf";
    if (h[2] == 'U' && h[3] == 0) return "rw2";
    if (dng) return "dng";
    if (h[8] == 'C' && h[9] == 'R') return "cr2";
    auto starts = [&](std::string_view p) { return make.substr(0, p.size()) == p; };
    if (starts("NIKON")) return "nef";
    if (starts("SONY")) return "arw";
    if (starts("PENTAX") || starts("RICOH IMAGING")) return "pef";
    return {};
}

}  // namespace

std::optional<carve_result> measure_tiff(carve_input& in, uint64_t start, uint64_t limit,
                                         const file_type&) {
    constexpr size_t header_size = 8;
    constexpr size_t check_size = 10;  // the header and CR2's "CR" mark after it
    constexpr size_t entry_size = 12;
    constexpr uint32_t max_entries = 4096;
    constexpr int max_ifds = 256;
    constexpr uint32_t tag_make = 271, tag_dng_version = 50706, tag_sony_private = 50740;
    constexpr size_t max_make = 32;
    // Offset and length tags whose pieces belong to the file: strips, tiles,
    // the embedded JPEG preview and Sony's encrypted SR2 block.
    constexpr std::array<std::pair<uint32_t, uint32_t>, 4> piece_tags{
        {{273, 279}, {324, 325}, {513, 514}, {0x7200, 0x7201}}};
    uint8_t h[check_size] = {};
    if (!in.read(start, h, header_size)) return std::nullopt;
    (void)in.read(start + header_size, h + header_size, check_size - header_size);
    tiff_reader r{in, start, limit, h[0] == 'I'};
    uint64_t extent = header_size;
    bool image_data = false, dng = false;
    std::string make;
    std::vector<uint32_t> queue{r.u32(h + 4)};
    std::vector<uint32_t> seen;
    int walked = 0;
    while (!queue.empty()) {
        uint32_t ifd = queue.back();
        queue.pop_back();
        if (ifd == 0) continue;
        if (ifd < header_size || std::find(seen.begin(), seen.end(), ifd) != seen.end()) return std::nullopt;
        if (++walked > max_ifds) return std::nullopt;
        seen.push_back(ifd);
        uint8_t count_bytes[2];
        if (!r.read(ifd, count_bytes, 2)) return std::nullopt;
        uint32_t n = r.u16(count_bytes);
        if (n == 0 || n > max_entries) return std::nullopt;
        std::vector<uint8_t> table(n * entry_size + 4);
        if (!r.read(ifd + 2, table.data(), table.size())) return std::nullopt;
        extent = std::max<uint64_t>(extent, uint64_t(ifd) + 2 + table.size());
        tiff_entry offsets[piece_tags.size()], counts[piece_tags.size()];
        for (uint32_t i = 0; i < n; ++i) {
            const uint8_t* p = &table[i * entry_size];
            tiff_entry e;
            e.tag = r.u16(p);
            e.type = r.u16(p + 2);
            e.count = r.u32(p + 4);
            std::memcpy(e.value, p + 8, 4);
            uint32_t size = tiff_type_size(e.type);
            if (size == 0) continue;  // unknown types are skipped, as readers do
            uint64_t bytes = uint64_t(e.count) * size;
            if (bytes > 4) {
                uint64_t value_end = uint64_t(r.u32(e.value)) + bytes;
                if (value_end > limit) return std::nullopt;
                extent = std::max(extent, value_end);
            }
            for (size_t k = 0; k < piece_tags.size(); ++k) {
                if (e.tag == piece_tags[k].first) offsets[k] = e;
                if (e.tag == piece_tags[k].second) counts[k] = e;
            }
            if (e.tag == tag_dng_version) dng = true;
            if (e.tag == tag_make && e.type == 2 && make.empty() && e.count > 0) {
                char text[max_make] = {};
                size_t len = std::min<size_t>(e.count, max_make);
                if (len <= 4) std::memcpy(text, e.value, len);
                else if (!r.read(r.u32(e.value), text, len)) return std::nullopt;
                make.assign(text, strnlen(text, len));
            }
            switch (e.tag) {
                case 330: case 34665: case 34853: case 40965: {  // SubIFDs, Exif, GPS, Interop
                    std::vector<uint32_t> subs;
                    if (!tiff_values(r, e, subs)) return std::nullopt;
                    for (uint32_t s : subs) queue.push_back(s);
                    break;
                }
                case tag_sony_private:  // an offset to Sony's private directory
                    if ((e.type == 4 || e.type == 13) && e.count == 1) queue.push_back(r.u32(e.value));
                    break;
                default: break;
            }
        }
        for (size_t k = 0; k < piece_tags.size(); ++k) {
            if (offsets[k].tag == 0 && counts[k].tag == 0) continue;
            std::vector<uint32_t> offs, lens;
            if (offsets[k].count == 1 && counts[k].count == 1 && offsets[k].type != 3 && offsets[k].type != 4 &&
                offsets[k].type != 13) {
                // Sony's SR2 pair is typed UNDEFINED at times: one LONG each.
                offs = {r.u32(offsets[k].value)};
                lens = {r.u32(counts[k].value)};
            } else if (!tiff_values(r, offsets[k], offs) || !tiff_values(r, counts[k], lens) ||
                       offs.size() != lens.size()) {
                return std::nullopt;
            }
            for (size_t i = 0; i < offs.size(); ++i) {
                uint64_t piece_end = uint64_t(offs[i]) + lens[i];
                if (piece_end > limit) return std::nullopt;
                extent = std::max(extent, piece_end);
            }
            if (!offs.empty() && k < 3) image_data = true;
        }
        queue.push_back(r.u32(&table[n * entry_size]));
    }
    if (!image_data) return std::nullopt;
    return sized(extent, limit, tiff_kind(h, make, dng));
}

}  // namespace qv::sig
