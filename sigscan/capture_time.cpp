// Capture times of found pictures and movies: EXIF DateTimeOriginal in JPEG,
// TIFF-based RAW, Canon CR3 and HEIF (HEIC, AVIF), and the movie header's
// creation time in ISO media files (MP4, MOV, M4V, 3GP).

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <vector>

#include "devices/civil_date.hpp"
#include "devices/le_bytes.hpp"
#include "sigscan/carve_input.hpp"
#include "sigscan/found_file_facts.hpp"

namespace qv::sig {

namespace {

// Reads inside one found file; nothing outside it.
struct span_reader {
    device_handle& device;
    uint64_t base;
    uint64_t size;

    bool read(uint64_t off, void* out, size_t n) const {
        return off <= size && n <= size - off && device.read_exact(base + off, out, n);
    }
};

constexpr std::array<std::string_view, 9> tiff_types{"tif", "dng", "cr2", "nef", "arw", "pef", "orf", "rw2", "nrw"};
constexpr std::array<std::string_view, 7> movie_types{"mp4", "mov", "m4v", "m4a", "3gp", "3g2", "cr3"};

bool one_of(std::string_view type, const auto& list) {
    return std::find(list.begin(), list.end(), type) != list.end();
}

// "YYYY:MM:DD HH:MM:SS" as seconds since 1970, read as UTC; 0 when it is not a date.
int64_t exif_seconds(const char* t, size_t n) {
    if (n < 19) return 0;
    auto num = [&](size_t at, size_t len, int& out) {
        out = 0;
        for (size_t i = at; i < at + len; ++i) {
            if (t[i] < '0' || t[i] > '9') return false;
            out = out * 10 + (t[i] - '0');
        }
        return true;
    };
    int y, mo, d, h, mi, s;
    if (!num(0, 4, y) || !num(5, 2, mo) || !num(8, 2, d) || !num(11, 2, h) || !num(14, 2, mi) || !num(17, 2, s))
        return 0;
    if (y < 1971 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return 0;
    return days_from_civil(y, unsigned(mo), unsigned(d)) * 86400 + h * 3600 + mi * 60 + s;
}

// "+HH:MM" or "-HH:MM" as seconds east of UTC; empty when it is not one.
std::optional<int64_t> exif_offset(const char* t, size_t n) {
    if (n < 6 || (t[0] != '+' && t[0] != '-') || t[3] != ':') return std::nullopt;
    for (size_t i : {1, 2, 4, 5})
        if (t[i] < '0' || t[i] > '9') return std::nullopt;
    int64_t v = ((t[1] - '0') * 10 + (t[2] - '0')) * 3600 + ((t[4] - '0') * 10 + (t[5] - '0')) * 60;
    return t[0] == '-' ? -v : v;
}

// The capture time in the EXIF directory of a TIFF structure that starts at
// tiff (bytes from the file's start) and has `size` bytes.
int64_t tiff_capture_time(const span_reader& file, uint64_t tiff, uint64_t size) {
    constexpr size_t entry_size = 12;
    constexpr uint32_t max_entries = 1024;
    constexpr uint16_t tag_date = 306, tag_exif = 34665, tag_original = 36867, tag_digitized = 36868,
                       tag_offset_original = 36881;
    span_reader r{file.device, file.base + tiff, std::min(size, file.size - std::min(file.size, tiff))};
    uint8_t h[8];
    if (!r.read(0, h, sizeof h) || (h[0] != 'I' && h[0] != 'M') || h[0] != h[1]) return 0;
    const bool little = h[0] == 'I';
    auto u16 = [&](const uint8_t* p) { return little ? uint32_t(p[0] | p[1] << 8) : uint32_t(p[0] << 8 | p[1]); };
    auto u32 = [&](const uint8_t* p) {
        return little ? uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24
                      : uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
    };
    struct found_tags {
        uint32_t exif = 0;
        int64_t date = 0, original = 0, digitized = 0;
        std::optional<int64_t> offset;
    } tags;
    auto walk = [&](uint32_t ifd) {
        uint8_t c[2];
        if (!r.read(ifd, c, 2)) return;
        const uint32_t n = std::min(u16(c), max_entries);
        std::vector<uint8_t> table(n * entry_size);
        if (!r.read(ifd + 2, table.data(), table.size())) return;
        for (uint32_t i = 0; i < n; ++i) {
            const uint8_t* e = &table[i * entry_size];
            const uint32_t tag = u16(e), type = u16(e + 2), count = u32(e + 4);
            if (tag == tag_exif && (type == 4 || type == 13)) tags.exif = u32(e + 8);
            if (type != 2 || count > 64) continue;
            if (tag != tag_date && tag != tag_original && tag != tag_digitized && tag != tag_offset_original) continue;
            char text[64] = {};
            if (count <= 4)
                std::memcpy(text, e + 8, count);
            else if (!r.read(u32(e + 8), text, count))
                continue;
            if (tag == tag_offset_original)
                tags.offset = exif_offset(text, count);
            else if (tag == tag_date)
                tags.date = exif_seconds(text, count);
            else if (tag == tag_original)
                tags.original = exif_seconds(text, count);
            else
                tags.digitized = exif_seconds(text, count);
        }
    };
    walk(u32(h + 4));
    if (tags.exif != 0) walk(tags.exif);
    int64_t t = tags.original ? tags.original : tags.digitized ? tags.digitized : tags.date;
    if (t != 0 && tags.original != 0 && tags.offset) t -= *tags.offset;
    return t;
}

// A JPEG's APP1 Exif segment, before the first scan.
int64_t jpeg_capture_time(const span_reader& r) {
    constexpr int max_segments = 64;
    uint64_t pos = 2;
    for (int i = 0; i < max_segments; ++i) {
        uint8_t m[10];
        if (!r.read(pos, m, 4) || m[0] != 0xFF) return 0;
        const int marker = m[1];
        const uint32_t length = uint32_t(m[2]) << 8 | m[3];
        if (marker == 0xDA || marker == 0xD9 || length < 2) return 0;
        if (marker == 0xE1 && length >= 16 && r.read(pos + 4, m, 6) && std::memcmp(m, "Exif\0\0", 6) == 0)
            return tiff_capture_time(r, pos + 10, length - 8);
        pos += 2 + length;
    }
    return 0;
}

// ---- ISO media ----
struct box {
    uint64_t start = 0;  // of the header
    uint64_t body = 0;   // first byte after the header
    uint64_t end = 0;
    char type[4] = {};
};

// The first box of a type among the boxes in [from, to).
std::optional<box> find_box(const span_reader& r, uint64_t from, uint64_t to, const char* type) {
    constexpr int max_boxes = 4096;
    uint64_t pos = from;
    for (int i = 0; i < max_boxes && pos + 8 <= to; ++i) {
        uint8_t h[16];
        if (!r.read(pos, h, 8)) return std::nullopt;
        byte_view v(h, sizeof h);
        uint64_t size = be32(v, 0), header = 8;
        if (size == 1) {
            if (!r.read(pos + 8, h + 8, 8)) return std::nullopt;
            size = be64(v, 8);
            header = 16;
        } else if (size == 0) {
            size = to - pos;
        }
        if (size < header || size > to - pos) return std::nullopt;
        if (std::memcmp(h + 4, type, 4) == 0) {
            box b;
            b.start = pos;
            b.body = pos + header;
            b.end = pos + size;
            std::memcpy(b.type, h + 4, 4);
            return b;
        }
        pos += size;
    }
    return std::nullopt;
}

// Canon CR3: the movie box holds a "uuid" box of Canon's whose CMT2 box is a
// TIFF structure with the EXIF tags (DateTimeOriginal) and CMT1 one with
// the picture's main tags (DateTime).
int64_t canon_raw_capture_time(const span_reader& r, const box& moov) {
    static constexpr uint8_t canon_uuid[16] = {0x85, 0xc0, 0xb6, 0x87, 0x82, 0x0f, 0x11, 0xe0,
                                               0x81, 0x11, 0xf4, 0xce, 0x46, 0x2b, 0x6a, 0x48};
    constexpr int max_uuid_boxes = 16;
    uint64_t pos = moov.body;
    for (int i = 0; i < max_uuid_boxes; ++i) {
        auto uuid = find_box(r, pos, moov.end, "uuid");
        if (!uuid) return 0;
        pos = uuid->end;
        uint8_t id[16];
        if (uuid->end - uuid->body < sizeof id || !r.read(uuid->body, id, sizeof id) ||
            std::memcmp(id, canon_uuid, sizeof id) != 0)
            continue;
        for (const char* name : {"CMT2", "CMT1"}) {
            auto tiff = find_box(r, uuid->body + sizeof id, uuid->end, name);
            if (!tiff) continue;
            if (int64_t t = tiff_capture_time(r, tiff->body, tiff->end - tiff->body)) return t;
        }
        return 0;
    }
    return 0;
}

int64_t movie_capture_time(const span_reader& r, bool canon_raw) {
    constexpr int64_t seconds_1904_to_1970 = 2082844800;
    auto moov = find_box(r, 0, r.size, "moov");
    if (!moov) return 0;
    if (canon_raw)
        if (int64_t t = canon_raw_capture_time(r, *moov)) return t;
    auto mvhd = find_box(r, moov->body, moov->end, "mvhd");
    if (!mvhd) return 0;
    uint8_t h[12];
    if (!r.read(mvhd->body, h, sizeof h)) return 0;
    byte_view v(h, sizeof h);
    const uint64_t created = h[0] == 1 ? be64(v, 4) : be32(v, 4);
    if (created <= uint64_t(seconds_1904_to_1970)) return 0;  // 0 or before 1970: not set
    return int64_t(created) - seconds_1904_to_1970;
}

// Reads a big-endian field of 0, 4 or 8 bytes.
bool read_sized(const span_reader& r, uint64_t& pos, unsigned bytes, uint64_t& out) {
    out = 0;
    if (bytes == 0) return true;
    uint8_t b[8];
    if ((bytes != 4 && bytes != 8) || !r.read(pos, b, bytes)) return false;
    for (unsigned i = 0; i < bytes; ++i) out = out << 8 | b[i];
    pos += bytes;
    return true;
}

// HEIF: the Exif item named in the meta box's item information, located by iloc.
int64_t heif_capture_time(const span_reader& r) {
    constexpr uint32_t max_items = 4096;
    auto meta = find_box(r, 0, r.size, "meta");
    if (!meta) return 0;
    const uint64_t children = meta->body + 4;  // a full box: version and flags
    auto iinf = find_box(r, children, meta->end, "iinf");
    auto iloc = find_box(r, children, meta->end, "iloc");
    if (!iinf || !iloc) return 0;
    uint8_t h[8];
    if (!r.read(iinf->body, h, 8)) return 0;
    byte_view hv(h, sizeof h);
    uint64_t pos = iinf->body + (h[0] == 0 ? 6 : 8);
    const uint32_t entries = std::min<uint32_t>(h[0] == 0 ? be16(hv, 4) : be32(hv, 4), max_items);
    uint32_t exif_item = 0;
    for (uint32_t i = 0; i < entries && exif_item == 0; ++i) {
        auto infe = find_box(r, pos, iinf->end, "infe");
        if (!infe) return 0;
        uint8_t e[12];
        if (!r.read(infe->body, e, sizeof e)) return 0;
        byte_view ev(e, sizeof e);
        if (e[0] == 2 && std::memcmp(e + 8, "Exif", 4) == 0) exif_item = be16(ev, 4);
        if (e[0] == 3) {
            uint8_t t[4];
            if (r.read(infe->body + 10, t, 4) && std::memcmp(t, "Exif", 4) == 0) exif_item = be32(ev, 4);
        }
        pos = infe->end;
    }
    if (exif_item == 0) return 0;
    uint8_t l[8];
    if (!r.read(iloc->body, l, 8)) return 0;
    const unsigned version = l[0];
    const unsigned offset_size = l[4] >> 4, length_size = l[4] & 15, base_size = l[5] >> 4;
    const unsigned index_size = version == 1 || version == 2 ? (l[5] & 15) : 0;
    pos = iloc->body + 6;
    uint64_t count = 0;
    if (!read_sized(r, pos, version == 2 ? 4 : 0, count)) return 0;
    if (version != 2) {
        uint8_t c[2];
        if (!r.read(pos, c, 2)) return 0;
        count = uint64_t(c[0]) << 8 | c[1];
        pos += 2;
    }
    count = std::min<uint64_t>(count, max_items);
    for (uint64_t i = 0; i < count; ++i) {
        uint8_t id[4];
        const unsigned id_size = version == 2 ? 4 : 2;
        if (!r.read(pos, id, id_size)) return 0;
        const uint32_t item = id_size == 4 ? be32(byte_view(id, 4), 0) : uint32_t(id[0] << 8 | id[1]);
        pos += id_size;
        unsigned method = 0;
        if (version == 1 || version == 2) {
            uint8_t m[2];
            if (!r.read(pos, m, 2)) return 0;
            method = m[1] & 15;
            pos += 2;
        }
        pos += 2;  // data reference index
        uint64_t base = 0, extents = 0;
        if (!read_sized(r, pos, base_size, base)) return 0;
        uint8_t c[2];
        if (!r.read(pos, c, 2)) return 0;
        extents = uint64_t(c[0]) << 8 | c[1];
        pos += 2;
        for (uint64_t k = 0; k < extents; ++k) {
            uint64_t index = 0, offset = 0, length = 0;
            if (!read_sized(r, pos, index_size, index) || !read_sized(r, pos, offset_size, offset) ||
                !read_sized(r, pos, length_size, length))
                return 0;
            if (item != exif_item || k != 0 || method != 0) continue;
            // The item starts with the offset of the TIFF header after its own four bytes.
            const uint64_t at = base + offset;
            uint8_t skip[4];
            if (length < 12 || !r.read(at, skip, 4)) return 0;
            const uint64_t tiff = at + 4 + be32(byte_view(skip, 4), 0);
            if (tiff >= at + length) return 0;
            return tiff_capture_time(r, tiff, at + length - tiff);
        }
        if (item == exif_item) return 0;
    }
    return 0;
}

}  // namespace

bool has_capture_time(std::string_view type) {
    return type == "jpg" || type == "heic" || type == "avif" || one_of(type, tiff_types) || one_of(type, movie_types);
}

int64_t capture_time(device_handle& device, uint64_t offset, uint64_t size, std::string_view type) {
    if (offset > device.length() || size > device.length() - offset) return 0;
    span_reader r{device, offset, size};
    if (type == "jpg") return jpeg_capture_time(r);
    if (one_of(type, tiff_types)) return tiff_capture_time(r, 0, size);
    if (type == "heic" || type == "avif") return heif_capture_time(r);
    if (one_of(type, movie_types)) return movie_capture_time(r, type == "cr3");
    return 0;
}

}  // namespace qv::sig
