// Size rules for archives and compressed streams: ZIP (and the office formats
// inside it), 7z, RAR, gzip, bzip2 and xz.

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "sigscan/rules/rules.hpp"
#include "sigscan/zip_kinds.hpp"
#include "sigscan/zip_layout.hpp"

namespace qv::sig {

namespace {

constexpr size_t chunk = 256 * 1024;

uint32_t crc_of_range(carve_input& in, uint64_t off, uint64_t size, bool* ok) {
    uLong crc = crc32(0, nullptr, 0);
    while (size > 0) {
        size_t n = size_t(std::min<uint64_t>(chunk, size));
        byte_view v = in.view(off, n);
        if (v.size() != n) {
            *ok = false;
            return 0;
        }
        crc = crc32(crc, v.data(), uInt(n));
        off += n;
        size -= n;
    }
    *ok = true;
    return uint32_t(crc);
}

// ---- ZIP ----
constexpr uint32_t zip_max_entries = 1u << 20;

struct zip_kind {
    std::string_view type;
    void note(const std::string& name) {
        if (type.empty()) type = zip_member_kind(name);
    }
};

// The offset after a data descriptor that closes data starting at data, or npos.
uint64_t zip_find_descriptor(carve_input& in, uint64_t data, uint64_t end) {
    static const byte_pattern sig = byte_pattern::literal("PK\x07\x08");
    for (uint64_t at = in.find(sig, data, end); at != carve_input::npos; at = in.find(sig, at + 1, end)) {
        uint8_t d[24];
        size_t n = size_t(std::min<uint64_t>(sizeof d, end - at));
        if (n < 16 || !in.read(at, d, n)) return carve_input::npos;
        byte_view v(d, n);
        uint64_t length = at - data;
        if (v.le32(8) == (length & 0xFFFFFFFF) && length <= 0xFFFFFFFF) return at + 16;
        if (n >= 24 && v.le64(8) == length) return at + 24;
    }
    return carve_input::npos;
}

// ---- RAR ----
constexpr uint8_t rar4_end = 0x7B, rar4_main = 0x73, rar4_file = 0x74;

bool read_vint(carve_input& in, uint64_t& pos, uint64_t end, uint64_t* value) {
    *value = 0;
    for (int shift = 0; shift < 64 && pos < end; shift += 7) {
        int b = byte_at(in, pos++);
        if (b < 0) return false;
        *value |= uint64_t(b & 0x7F) << shift;
        if (!(b & 0x80)) return true;
    }
    return false;
}

std::optional<carve_result> measure_rar5(carve_input& in, uint64_t start, uint64_t limit) {
    constexpr uint64_t max_header = 2 * 1024 * 1024;
    constexpr uint64_t rar5_main = 1, rar5_end = 5, rar5_max_type = 5, rar5_encryption = 4;
    const uint64_t end = start + limit;
    uint64_t pos = start + 8;
    bool main_seen = false;
    while (pos < end) {
        uint8_t crc_bytes[4];
        if (!in.read(pos, crc_bytes, 4)) return std::nullopt;
        uint64_t p = pos + 4, header_size;
        if (!read_vint(in, p, end, &header_size) || header_size == 0 || header_size > max_header)
            return std::nullopt;
        uint64_t header_end = p + header_size;
        bool ok;
        uint32_t crc = crc_of_range(in, pos + 4, header_end - (pos + 4), &ok);
        if (!ok || crc != byte_view(crc_bytes, 4).le32(0)) return std::nullopt;
        uint64_t type, flags, extra = 0, data = 0;
        if (!read_vint(in, p, header_end, &type) || !read_vint(in, p, header_end, &flags)) return std::nullopt;
        if (type == 0 || type > rar5_max_type || (!main_seen && type != rar5_main && type != rar5_encryption))
            return std::nullopt;
        if (type == rar5_encryption) return std::nullopt;  // headers beyond are encrypted: no size
        if ((flags & 1) && !read_vint(in, p, header_end, &extra)) return std::nullopt;
        if ((flags & 2) && !read_vint(in, p, header_end, &data)) return std::nullopt;
        main_seen = true;
        if (type == rar5_end) return sized(header_end - start, limit);
        if (data > end - std::min(end, header_end)) return std::nullopt;
        pos = header_end + data;
    }
    return std::nullopt;
}

// ---- xz ----
constexpr size_t xz_header_size = 12, xz_footer_size = 12;

}  // namespace

std::optional<carve_result> measure_zip(carve_input& in, uint64_t start, uint64_t limit,
                                        const file_type&) {
    const uint64_t end = start + limit;
    uint64_t pos = start;
    uint32_t entries = 0;
    std::string_view kind;
    // Local entries, one after the other.
    for (;;) {
        uint8_t h[zip::local_bytes];
        if (!in.read(pos, h, sizeof h)) return std::nullopt;
        byte_view v(h, sizeof h);
        if (v.le32(0) != zip::local_signature) break;
        uint16_t version = v.le16(zip::local_version), flags = v.le16(zip::local_flags), method = v.le16(zip::local_method);
        uint16_t name_len = v.le16(zip::local_name_length), extra_len = v.le16(zip::local_extra_length);
        uint64_t csize = v.le32(zip::local_compressed), usize = v.le32(zip::local_uncompressed);
        if ((version & 0xFF) > 100 || method > 99 || name_len == 0) return std::nullopt;
        if (++entries > zip_max_entries) return std::nullopt;
        uint64_t data = pos + zip::local_bytes + name_len + extra_len;
        if (data > end) return std::nullopt;
        if (entries == 1 && method == zip::method_stored && name_len == 8 && csize < 128) {
            uint8_t text[8 + 128];
            if (in.read(pos + zip::local_bytes, text, 8) && std::memcmp(text, "mimetype", 8) == 0 &&
                in.read(data, text + 8, size_t(csize)))
                kind = zip_mimetype_kind(std::string(reinterpret_cast<char*>(text + 8), size_t(csize)));
        }
        if (csize == zip::in_zip64 || usize == zip::in_zip64)
            zip::zip64_extra_sizes([&in](uint64_t at, uint8_t* out, size_t n) { return in.read(at, out, n); },
                                   pos + zip::local_bytes + name_len, extra_len, &usize, &csize);
        if ((flags & zip::flag_descriptor) && csize == 0) {
            pos = zip_find_descriptor(in, data, end);
            if (pos == carve_input::npos) return std::nullopt;
        } else {
            if (csize > end - data) return std::nullopt;
            pos = data + csize;
            uint8_t d[4];
            if ((flags & zip::flag_descriptor) && in.read(pos, d, 4)) {  // descriptor after known sizes
                bool zip64 = usize > 0xFFFFFFFF || csize > 0xFFFFFFFF;
                pos += (byte_view(d, 4).le32(0) == zip::descriptor_signature ? 4 : 0) + (zip64 ? 16 : 8) + 4;
            }
        }
    }
    if (entries == 0) return std::nullopt;
    // The central directory follows the last local entry.
    const uint64_t central = pos;
    uint32_t central_entries = 0;
    zip_kind names{kind};
    for (;;) {
        uint8_t h[zip::central_bytes];
        if (!in.read(pos, h, sizeof h)) return std::nullopt;
        byte_view v(h, sizeof h);
        if (v.le32(0) != zip::central_signature) break;
        uint16_t name_len = v.le16(zip::central_name_length), extra_len = v.le16(zip::central_extra_length),
                 comment_len = v.le16(zip::central_comment_length);
        if (++central_entries > zip_max_entries) return std::nullopt;
        if (name_len > 0 && name_len < 256) {
            std::string name(name_len, '\0');
            if (in.read(pos + zip::central_bytes, name.data(), name_len)) names.note(name);
        }
        pos += zip::central_bytes + uint64_t(name_len) + extra_len + comment_len;
        if (pos > end) return std::nullopt;
    }
    if (central_entries != entries) return std::nullopt;
    const uint64_t central_size = pos - central;
    uint8_t h[zip::end_bytes];
    if (!in.read(pos, h, 4)) return std::nullopt;
    if (byte_view(h, 4).le32(0) == zip::end64_signature) {
        uint8_t z[zip::end64_head_bytes];
        if (!in.read(pos, z, sizeof z)) return std::nullopt;
        uint64_t record = byte_view(z, sizeof z).le64(zip::end64_rest_size);
        if (record > end - pos) return std::nullopt;
        pos += zip::end64_head_bytes + record;
        uint8_t loc[zip::locator64_bytes];
        if (!in.read(pos, loc, sizeof loc) || byte_view(loc, sizeof loc).le32(0) != zip::locator64_signature)
            return std::nullopt;
        pos += zip::locator64_bytes;
    }
    if (!in.read(pos, h, sizeof h)) return std::nullopt;
    byte_view v(h, sizeof h);
    if (v.le32(0) != zip::end_signature) return std::nullopt;
    uint32_t total = v.le16(zip::end_entries), size = v.le32(zip::end_central_size),
             offset = v.le32(zip::end_central_offset);
    if (total != zip::entries_in_zip64 && total != (entries & 0xFFFF)) return std::nullopt;
    if (size != zip::in_zip64 && size != central_size) return std::nullopt;
    if (offset != zip::in_zip64 && offset != central - start) return std::nullopt;
    return sized(pos + zip::end_bytes + v.le16(zip::end_comment_length) - start, limit, names.type);
}

std::optional<carve_result> measure_7z(carve_input& in, uint64_t start, uint64_t limit,
                                       const file_type&) {
    constexpr size_t header_size = 32;
    uint8_t h[header_size];
    if (!in.read(start, h, sizeof h)) return std::nullopt;
    byte_view v(h, sizeof h);
    if (h[6] != 0 || uint32_t(crc32(0, h + 12, 20)) != v.le32(8)) return std::nullopt;
    uint64_t next_offset = v.le64(12), next_size = v.le64(20);
    if (next_size == 0 || next_offset > limit || next_size > limit - header_size - std::min(limit - header_size, next_offset))
        return std::nullopt;
    uint64_t next = start + header_size + next_offset;
    int first = byte_at(in, next);
    if (first != 0x01 && first != 0x17) return std::nullopt;
    bool ok;
    if (crc_of_range(in, next, next_size, &ok) != v.le32(28) || !ok) return std::nullopt;
    return sized(header_size + next_offset + next_size, limit);
}

std::optional<carve_result> measure_rar(carve_input& in, uint64_t start, uint64_t limit,
                                        const file_type&) {
    uint8_t sig[8];
    if (!in.read(start, sig, sizeof sig)) return std::nullopt;
    if (sig[6] == 0x01 && sig[7] == 0x00) return measure_rar5(in, start, limit);
    if (sig[6] != 0x00) return std::nullopt;
    const uint64_t end = start + limit;
    uint64_t pos = start + 7;
    bool main_seen = false;
    while (pos < end) {
        uint8_t h[36];
        bool block_ok = in.read(pos, h, 7);
        byte_view v(h, sizeof h);
        uint8_t type = h[2];
        uint16_t flags = v.le16(3), head = v.le16(5);
        block_ok = block_ok && type >= 0x72 && type <= rar4_end && head >= 7 && head <= end - pos;
        std::vector<uint8_t> header;
        if (block_ok) {
            header.resize(head);
            block_ok = in.read(pos, header.data(), head) &&
                       (uint32_t(crc32(0, header.data() + 2, head - 2)) & 0xFFFF) == v.le16(0);
        }
        if (!block_ok) return std::nullopt;
        if (!main_seen && type != rar4_main) return std::nullopt;
        main_seen = true;
        byte_view hv(header.data(), header.size());
        uint64_t add = 0;
        if ((flags & 0x8000) || type == rar4_file) add = hv.le32(7);
        if (type == rar4_file && (flags & 0x100) && head >= 36) add |= uint64_t(hv.le32(32)) << 32;
        if (type == rar4_end) return sized(pos + head - start, limit);
        if (add > end - pos - head) return std::nullopt;
        pos += head + add;
    }
    return std::nullopt;
}

std::optional<carve_result> measure_gzip(carve_input& in, uint64_t start, uint64_t limit,
                                         const file_type&) {
    constexpr size_t header_size = 10, trailer_size = 8;
    constexpr uint8_t fhcrc = 0x02, fextra = 0x04, fname = 0x08, fcomment = 0x10, reserved = 0xE0;
    constexpr uint64_t max_text = 64 * 1024;
    const uint64_t end = start + limit;
    uint64_t pos = start;
    int members = 0;
    std::vector<uint8_t> out(chunk);
    for (;;) {
        uint8_t h[header_size];
        if (!in.read(pos, h, sizeof h) || h[0] != 0x1F || h[1] != 0x8B || h[2] != 8 || (h[3] & reserved)) {
            if (members > 0) return sized(pos - start, limit);
            return std::nullopt;
        }
        uint8_t flags = h[3];
        uint64_t p = pos + header_size;
        if (flags & fextra) {
            uint8_t x[2];
            if (!in.read(p, x, 2)) return std::nullopt;
            p += 2 + byte_view(x, 2).le16(0);
        }
        for (uint8_t text_flag : {fname, fcomment}) {
            if (!(flags & text_flag)) continue;
            uint64_t q = p;
            int c;
            while ((c = byte_at(in, q)) > 0 && q - p < max_text) ++q;
            if (c != 0) return std::nullopt;
            p = q + 1;
        }
        if (flags & fhcrc) p += 2;
        if (p >= end) return std::nullopt;

        z_stream zs{};
        if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) return std::nullopt;
        uLong crc = crc32(0, nullptr, 0);
        uint64_t produced = 0, consumed = 0;
        int rc = Z_OK;
        while (rc != Z_STREAM_END) {
            if (!in.keep_going()) break;
            byte_view v = in.view(p + consumed, size_t(std::min<uint64_t>(chunk, end - (p + consumed))));
            if (v.empty()) break;
            zs.next_in = const_cast<Bytef*>(v.data());
            zs.avail_in = uInt(v.size());
            while (zs.avail_in > 0 && rc != Z_STREAM_END) {
                zs.next_out = out.data();
                zs.avail_out = uInt(out.size());
                rc = inflate(&zs, Z_NO_FLUSH);
                if (rc != Z_OK && rc != Z_STREAM_END) break;
                size_t n = out.size() - zs.avail_out;
                crc = crc32(crc, out.data(), uInt(n));
                produced += n;
                if (n == out.size() && (produced & (64 * chunk - 1)) == 0 && !in.keep_going()) break;
            }
            if (rc != Z_OK && rc != Z_STREAM_END) break;
            consumed += v.size() - zs.avail_in;
            if (in.stopped()) break;
        }
        inflateEnd(&zs);
        if (rc != Z_STREAM_END) return std::nullopt;
        uint64_t trailer = p + consumed;
        uint8_t t[trailer_size];
        if (!in.read(trailer, t, sizeof t)) return std::nullopt;
        byte_view tv(t, sizeof t);
        if (tv.le32(0) != uint32_t(crc) || tv.le32(4) != uint32_t(produced)) return std::nullopt;
        pos = trailer + trailer_size;
        ++members;
        if (pos >= end) return sized(pos - start, limit);
    }
}

namespace {

// The first bzip2 end-of-stream mark whose first bit lies at or after byte from:
// {byte holding its first bit, end of the stream (the CRC after it, padded)}.
std::pair<uint64_t, uint64_t> bzip2_find_end(carve_input& in, uint64_t from, uint64_t end) {
    static const char key = 0;
    constexpr uint64_t end_magic = 0x177245385090;
    constexpr uint64_t npos = carve_input::npos;
    if (const auto* m = in.recall(&key, 0, from, end)) return {m->found_start, m->found_end};
    // A mark starting r bits into byte q always fills byte q + 1 completely
    // with bits that depend only on r: test that byte first.
    std::array<uint8_t, 8> second{};
    std::array<uint8_t, 256> maybe{};
    for (unsigned r = 0; r < 8; ++r) {
        second[r] = uint8_t(end_magic >> (32 + r));
        maybe[second[r]] = 1;
    }
    constexpr size_t look = 8;
    std::vector<uint8_t> buf(chunk + look);
    uint64_t q0 = from;
    while (q0 < end) {
        size_t n = size_t(std::min<uint64_t>(chunk + look, end - q0));
        if (!in.read(q0, buf.data(), n)) return {npos, npos};
        size_t scan = std::min(n, chunk);
        for (size_t i = 1; i < scan + 1 && i < n; ++i) {
            if (!maybe[buf[i]]) continue;
            size_t q = i - 1;  // the byte where the mark would start
            if (q + 7 > n) continue;
            uint64_t window = 0;
            for (size_t k = 0; k < 7; ++k) window = window << 8 | buf[q + k];  // 56 bits from byte q
            for (unsigned r = 0; r < 8; ++r) {
                if (second[r] != buf[i] || ((window >> (8 - r)) & 0xFFFFFFFFFFFF) != end_magic) continue;
                uint64_t bit_end = (q0 + q) * 8 + r + 48;
                uint64_t stream_end = (bit_end + 32 + 7) / 8;
                in.remember({&key, 0, from, stream_end, q0 + q, stream_end});
                return {q0 + q, stream_end};
            }
        }
        q0 += scan;
    }
    in.remember({&key, 0, from, end, npos, npos});
    return {npos, npos};
}

// The first xz stream footer at or after from with a valid CRC, the given
// stream flags and an offset that is align modulo 4; npos if none before end.
uint64_t xz_find_footer(carve_input& in, uint64_t from, uint64_t end, uint16_t flags, uint64_t align) {
    static const byte_pattern magic = byte_pattern::literal("YZ");
    static const char key = 0;
    const uint64_t tag = uint64_t(flags) << 8 | align;
    if (const auto* m = in.recall(&key, tag, from, end))
        return m->found_end <= end ? m->found_start : carve_input::npos;
    uint64_t search = from + 10;
    for (;;) {
        uint64_t at = in.find(magic, search, end);
        if (at == carve_input::npos) {
            if (!in.stopped()) in.remember({&key, tag, from, end, carve_input::npos, carve_input::npos});
            return carve_input::npos;
        }
        search = at + 1;
        uint64_t footer = at - 10;
        if (footer % 4 != align) continue;
        uint8_t f[xz_footer_size];
        if (!in.read(footer, f, sizeof f)) return carve_input::npos;
        byte_view fv(f, sizeof f);
        if (f[8] != (flags >> 8) || f[9] != (flags & 0xFF) || uint32_t(crc32(0, f + 4, 6)) != fv.le32(0))
            continue;
        in.remember({&key, tag, from, footer + xz_footer_size, footer, footer + xz_footer_size});
        return footer;
    }
}

}  // namespace

std::optional<carve_result> measure_bzip2(carve_input& in, uint64_t start, uint64_t limit,
                                          const file_type&) {
    constexpr uint64_t block_magic = 0x314159265359, end_magic = 0x177245385090;
    constexpr size_t header_size = 4, magic_size = 6;
    const uint64_t end = start + limit;
    uint64_t pos = start;
    int streams = 0;
    for (;;) {
        uint8_t h[header_size + magic_size];
        bool header_ok = in.read(pos, h, sizeof h) && h[0] == 'B' && h[1] == 'Z' && h[2] == 'h' &&
                         h[3] >= '1' && h[3] <= '9';
        uint64_t first = 0;
        for (size_t i = 0; i < magic_size; ++i) first = first << 8 | h[header_size + i];
        if (!header_ok || (first != block_magic && first != end_magic)) {
            if (streams > 0) return sized(pos - start, limit);
            return std::nullopt;
        }
        // The end mark may sit at any bit position: search for it.
        auto [mark, stream_end] = bzip2_find_end(in, pos + header_size, end);
        if (mark == carve_input::npos || stream_end > end) return std::nullopt;
        pos = stream_end;
        ++streams;
    }
}

std::optional<carve_result> measure_xz(carve_input& in, uint64_t start, uint64_t limit,
                                       const file_type&) {
    const uint64_t end = start + limit;
    uint8_t h[xz_header_size];
    if (!in.read(start, h, sizeof h)) return std::nullopt;
    byte_view hv(h, sizeof h);
    if (h[6] != 0 || (h[7] & 0xF0) || uint32_t(crc32(0, h + 6, 2)) != hv.le32(8)) return std::nullopt;
    const uint16_t flags = uint16_t(h[6] << 8 | h[7]);
    uint64_t from = start + xz_header_size;
    for (;;) {
        uint64_t footer = xz_find_footer(in, from, end, flags, start % 4);
        if (footer == carve_input::npos) return std::nullopt;
        from = footer + 1;
        uint8_t f[xz_footer_size];
        if (!in.read(footer, f, sizeof f)) return std::nullopt;
        // The index ends right before the footer: it starts with 0 and ends with its CRC.
        uint64_t index_size = (uint64_t(byte_view(f, sizeof f).le32(4)) + 1) * 4;
        if (index_size > footer - start - xz_header_size) continue;
        uint64_t index = footer - index_size;
        bool ok;
        if (byte_at(in, index) != 0x00) continue;
        uint32_t crc = crc_of_range(in, index, index_size - 4, &ok);
        uint8_t c[4];
        if (!ok || !in.read(footer - 4, c, 4) || crc != byte_view(c, 4).le32(0)) continue;
        return sized(footer + xz_footer_size - start, limit);
    }
}

}  // namespace qv::sig
