// Size rule for fonts: TrueType and OpenType table directories, WOFF and WOFF2.

#include <algorithm>
#include <cstring>
#include <optional>
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
    if (be16(hv, 6) != power * 16 || be16(hv, 8) != log2 || be16(hv, 10) != n * 16 - power * 16) return std::nullopt;
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

// Reads WOFF2's variable-length numbers from a buffer, failing past its end.
class woff2_directory_reader {
public:
    explicit woff2_directory_reader(const std::vector<uint8_t>& bytes) : b_(bytes) {}
    size_t position() const { return pos_; }

    std::optional<uint32_t> u8() {
        if (pos_ >= b_.size()) return std::nullopt;
        return b_[pos_++];
    }
    std::optional<uint32_t> u16() {
        if (pos_ > b_.size() || b_.size() - pos_ < 2) return std::nullopt;
        uint32_t v = uint32_t(b_[pos_]) << 8 | b_[pos_ + 1];
        pos_ += 2;
        return v;
    }
    std::optional<uint32_t> u32() {
        auto hi = u16(), lo = hi ? u16() : std::nullopt;
        if (!lo) return std::nullopt;
        return *hi << 16 | *lo;
    }
    bool skip(size_t n) {
        if (pos_ > b_.size() || b_.size() - pos_ < n) return false;
        pos_ += n;
        return true;
    }
    // UIntBase128: at most five bytes, no leading zero byte, no overflow of 32 bits.
    std::optional<uint32_t> base128() {
        uint32_t v = 0;
        for (int i = 0; i < 5; ++i) {
            auto b = u8();
            if (!b || (i == 0 && *b == 0x80) || (v & 0xFE000000u)) return std::nullopt;
            v = v << 7 | (*b & 0x7F);
            if ((*b & 0x80) == 0) return v;
        }
        return std::nullopt;
    }
    // 255UInt16: one byte, or a code byte (253: two bytes; 254, 255: one more byte added on).
    std::optional<uint32_t> u255() {
        auto code = u8();
        if (!code) return std::nullopt;
        if (*code == 253) return u16();
        if (*code == 255 || *code == 254) {
            auto b = u8();
            if (!b) return std::nullopt;
            return *b + (*code == 255 ? 253u : 506u);
        }
        return code;
    }

private:
    const std::vector<uint8_t>& b_;
    size_t pos_ = 0;
};

// The end of a WOFF2 table directory (and collection directory) within the
// file; nothing when an entry does not follow the format.
std::optional<uint64_t> woff2_directory_end(carve_input& in, uint64_t start, uint64_t length, uint32_t tables,
                                            bool collection) {
    constexpr size_t header = 48;
    constexpr uint32_t glyf_index = 10, loca_index = 11, arbitrary_tag = 63, max_fonts = 256;
    // The most a directory can take: a flags byte, a tag and two five-byte numbers per table,
    // and a collection's font list naming every table of every font.
    const uint64_t most = uint64_t(tables) * 14 + (collection ? 16 + max_fonts * (9 + uint64_t(tables) * 3) : 0);
    std::vector<uint8_t> bytes(size_t(std::min<uint64_t>(most, length - header)));
    if (!in.read(start + header, bytes.data(), bytes.size())) return std::nullopt;
    woff2_directory_reader r(bytes);
    bool glyf = false, loca = false;
    for (uint32_t i = 0; i < tables; ++i) {
        auto flags = r.u8();
        if (!flags) return std::nullopt;
        const uint32_t tag = *flags & 63, transform = *flags >> 6;
        if (tag == arbitrary_tag) {
            if (r.position() + 4 > bytes.size() || !tag_ok(&bytes[r.position()]) || !r.skip(4)) return std::nullopt;
        }
        auto original = r.base128();
        if (!original) return std::nullopt;
        // glyf and loca are transformed unless their version says otherwise; other tables the
        // reverse.
        const bool special = tag == glyf_index || tag == loca_index;
        if (special ? transform == 0 : transform != 0) {
            auto transformed = r.base128();
            if (!transformed || (tag == loca_index && *transformed != 0)) return std::nullopt;
        }
        glyf = glyf || tag == glyf_index;
        loca = loca || tag == loca_index;
    }
    if (glyf != loca) return std::nullopt;  // the two come together or not at all
    if (collection) {
        auto version = r.u32();
        auto fonts = version ? r.u255() : std::nullopt;
        if (!fonts || (*version != 0x00010000 && *version != 0x00020000) || *fonts == 0 || *fonts > max_fonts)
            return std::nullopt;
        for (uint32_t f = 0; f < *fonts; ++f) {
            auto count = r.u255();
            if (!count || *count == 0 || *count > tables || !r.skip(4)) return std::nullopt;
            for (uint32_t k = 0; k < *count; ++k) {
                auto index = r.u255();
                if (!index || *index >= tables) return std::nullopt;
            }
        }
    }
    return header + r.position();
}

std::optional<carve_result> measure_woff2(carve_input& in, uint64_t start, uint64_t limit) {
    constexpr size_t header = 48;
    uint8_t h[header];
    if (!in.read(start, h, sizeof h)) return std::nullopt;
    byte_view hv(h, sizeof h);
    const uint64_t length = be32(hv, 8);
    const uint32_t n = be16(hv, 12);
    const uint64_t compressed = be32(hv, 20);
    if (n == 0 || n > max_tables || be16(hv, 14) != 0 || length > limit || length < header) return std::nullopt;
    if (compressed == 0) return std::nullopt;
    auto directory_end = woff2_directory_end(in, start, length, n, std::memcmp(h + 4, "ttcf", 4) == 0);
    // The compressed tables follow the directory; metadata and private data come after them.
    if (!directory_end || *directory_end + compressed > length) return std::nullopt;
    for (size_t at : {size_t(28), size_t(40)}) {
        const uint64_t offset = be32(hv, at), size = be32(hv, at + 4);
        if (size != 0 && (offset < *directory_end + compressed || offset + size > length)) return std::nullopt;
    }
    return sized(length, limit, "woff2");
}

}  // namespace

std::optional<carve_result> measure_font(carve_input& in, uint64_t start, uint64_t limit, const file_type&) {
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
