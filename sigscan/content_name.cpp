// Names for found files from their own tags: EXIF in JPEG and TIFF, ID3 in
// MP3, the document information of PDF, the movie header of ISO media.

#include "sigscan/content_name.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "devices/utf16_text.hpp"
#include "sigscan/carve_input.hpp"
#include "sigscan/found_file_facts.hpp"
#include "sigscan/package_title.hpp"

namespace qv::sig {

namespace {

constexpr std::array<std::string_view, 9> tiff_types{"tif", "dng", "cr2", "nef", "arw", "pef", "orf", "rw2", "nrw"};
constexpr std::array<std::string_view, 6> movie_types{"mp4", "mov", "m4v", "m4a", "3gp", "3g2"};
constexpr std::array<std::string_view, 7> package_types{"docx", "xlsx", "pptx", "odt", "ods", "odp", "epub"};
constexpr uint64_t tail_bytes = 64 * 1024;  // a PDF's trailer and document information; ID3v1

bool one_of(std::string_view type, const auto& list) {
    return std::find(list.begin(), list.end(), type) != list.end();
}

std::string latin1_text(const uint8_t* p, size_t n) {
    std::string out;
    for (size_t i = 0; i < n && p[i] != 0; ++i) append_code_point(out, p[i]);
    return out;
}

// UTF-16 up to its first zero unit; big_endian as given, or from a byte-order mark.
std::string utf16_text(const uint8_t* p, size_t n, bool big_endian, bool bom) {
    if (bom && n >= 2) {
        if (p[0] == 0xFE && p[1] == 0xFF) big_endian = true;
        else if (p[0] == 0xFF && p[1] == 0xFE) big_endian = false;
        else return {};
        p += 2;
        n -= 2;
    }
    std::vector<char16_t> units;
    for (size_t i = 0; i + 1 < n; i += 2) {
        char16_t u = big_endian ? char16_t(p[i] << 8 | p[i + 1]) : char16_t(p[i + 1] << 8 | p[i]);
        if (u == 0) break;
        units.push_back(u);
    }
    std::string out;
    append_utf8(out, units.data(), units.size());
    return out;
}

// Seconds since 1970 as "YYYY-MM-DD HH-MM-SS" (UTC).
std::string date_stem(int64_t t) {
    const int64_t days = t >= 0 ? t / 86400 : (t - 86399) / 86400;
    const int64_t secs = t - days * 86400;
    // Civil date from a day count (the inverse of days_from_civil).
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const int64_t y = int64_t(yoe) + era * 400 + (m <= 2 ? 1 : 0);
    char text[48];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02d-%02d-%02d", (long long)y, m, d, int(secs / 3600),
                  int(secs / 60 % 60), int(secs % 60));
    return text;
}

// ---- EXIF ----

// "YYYY:MM:DD HH:MM:SS" as "YYYY-MM-DD HH-MM-SS"; empty when it is not a date.
std::string exif_date_stem(std::string_view t) {
    if (t.size() < 19) return {};
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18})
        if (t[i] < '0' || t[i] > '9') return {};
    if (t.substr(0, 4) == "0000") return {};
    std::string out(t.substr(0, 19));
    out[4] = out[7] = '-';
    out[10] = ' ';
    out[13] = out[16] = '-';
    return out;
}

struct exif_tags {
    std::string original;  // DateTimeOriginal, else DateTime
    std::string model;
};

exif_tags tiff_tags(byte_view tiff) {
    constexpr size_t entry_size = 12;
    constexpr uint32_t max_entries = 1024;
    constexpr uint32_t tag_model = 272, tag_date = 306, tag_exif = 34665, tag_original = 36867;
    constexpr uint32_t type_ascii = 2, max_text = 256;
    exif_tags out;
    if (!tiff.has(0, 8) || (tiff.u8(0) != 'I' && tiff.u8(0) != 'M') || tiff.u8(0) != tiff.u8(1)) return out;
    const bool little = tiff.u8(0) == 'I';
    auto u16 = [&](size_t off) { return little ? uint32_t(tiff.le16(off)) : uint32_t(be16(tiff, off)); };
    auto u32 = [&](size_t off) { return little ? tiff.le32(off) : be32(tiff, off); };
    std::string date;
    auto walk = [&](uint32_t ifd, uint32_t* exif) {
        if (!tiff.has(ifd, 2)) return;
        const uint32_t n = std::min(u16(ifd), max_entries);
        for (uint32_t i = 0; i < n; ++i) {
            const size_t e = size_t(ifd) + 2 + i * entry_size;
            if (!tiff.has(e, entry_size)) return;
            const uint32_t tag = u16(e), type = u16(e + 2), count = u32(e + 4);
            if (tag == tag_exif && exif) *exif = u32(e + 8);
            if (type != type_ascii || count == 0 || count > max_text) continue;
            if (tag != tag_model && tag != tag_date && tag != tag_original) continue;
            byte_view text = count <= 4 ? tiff.sub(e + 8, count) : tiff.sub(u32(e + 8), count);
            if (text.empty()) continue;
            std::string value = latin1_text(text.data(), text.size());
            if (tag == tag_model) out.model = value;
            else if (tag == tag_date) date = value;
            else out.original = value;
        }
    };
    uint32_t exif = 0;
    walk(u32(4), &exif);
    if (exif != 0 && exif != u32(4)) walk(exif, nullptr);
    if (out.original.empty()) out.original = date;
    return out;
}

std::string exif_stem(const exif_tags& tags) {
    std::string date = exif_date_stem(tags.original);
    if (date.empty()) return {};
    std::string model = name_stem_of(tags.model);
    return model.empty() ? date : date + " " + model;
}

// The TIFF structure of a JPEG's APP1 Exif segment, before the first scan.
byte_view jpeg_exif(byte_view head) {
    constexpr int max_segments = 64;
    size_t pos = 2;
    if (head.u8(0) != 0xFF || head.u8(1) != 0xD8) return {};
    for (int i = 0; i < max_segments && head.has(pos, 4); ++i) {
        if (head.u8(pos) != 0xFF) return {};
        const int marker = head.u8(pos + 1);
        const size_t length = be16(head, pos + 2);
        if (marker == 0xDA || marker == 0xD9 || length < 2) return {};
        if (marker == 0xE1 && length >= 16 && head.equals(pos + 4, "Exif")) {
            // The segment may run past what was read; the TIFF reader checks every field.
            const size_t tiff = pos + 10;
            return head.sub(tiff, std::min(length - 8, head.size() - std::min(head.size(), tiff)));
        }
        pos += 2 + length;
    }
    return {};
}

// ---- ID3 ----

std::string id3_text(byte_view frame) {
    if (frame.empty()) return {};
    const uint8_t encoding = frame.u8(0);
    const uint8_t* p = frame.data() + 1;
    const size_t n = frame.size() - 1;
    switch (encoding) {
    case 0: return latin1_text(p, n);
    case 1: return utf16_text(p, n, false, true);
    case 2: return utf16_text(p, n, true, false);
    case 3: return std::string(reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), n));
    default: return {};
    }
}

uint32_t syncsafe(byte_view v, size_t off) {
    uint32_t out = 0;
    for (size_t i = 0; i < 4; ++i) out = out << 7 | (v.u8(off + i) & 0x7F);
    return out;
}

std::string artist_title(const std::string& artist, const std::string& title) {
    std::string a = name_stem_of(artist), t = name_stem_of(title);
    if (t.empty()) return {};
    return a.empty() ? t : a + " - " + t;
}

std::string id3v2_stem(byte_view head) {
    constexpr size_t header = 10;
    constexpr uint8_t flag_extended = 0x40;
    if (!head.equals(0, "ID3") || !head.has(0, header)) return {};
    const uint8_t version = head.u8(3);
    if (version < 2 || version > 4) return {};
    const size_t end = std::min<size_t>(head.size(), header + size_t(syncsafe(head, 6)));
    size_t pos = header;
    if (version >= 3 && (head.u8(5) & flag_extended)) {
        const size_t ext = version == 4 ? syncsafe(head, pos) : be32(head, pos) + 4;
        if (ext < 4) return {};
        pos += ext;
    }
    const size_t id_len = version == 2 ? 3 : 4, frame_header = version == 2 ? 6 : 10;
    const char* title_id = version == 2 ? "TT2" : "TIT2";
    const char* artist_id = version == 2 ? "TP1" : "TPE1";
    std::string title, artist;
    while (pos < end && pos + frame_header <= end) {
        if (head.u8(pos) == 0) break;  // padding
        size_t size = version == 2 ? size_t(be32(head, pos + 2) & 0xFFFFFF)
                      : version == 4 ? size_t(syncsafe(head, pos + 4))
                                     : size_t(be32(head, pos + 4));
        if (size > end - pos - frame_header) break;
        byte_view body = head.sub(pos + frame_header, size);
        // Compressed or encrypted frames are left alone; a grouping byte or a
        // data-length field before the text is skipped.
        const uint8_t format = version == 2 ? 0 : head.u8(pos + 9);
        const bool sealed = version == 3 ? (format & 0xC0) != 0 : version == 4 && (format & 0x0C) != 0;
        const size_t skip = version == 3 ? ((format & 0x20) ? 1 : 0)
                            : version == 4 ? ((format & 0x40) ? 1 : 0) + ((format & 0x01) ? 4 : 0)
                                           : 0;
        body = sealed ? byte_view() : body.tail(skip);
        if (head.equals(pos, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(title_id), id_len)))
            title = id3_text(body);
        else if (head.equals(pos, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(artist_id), id_len)))
            artist = id3_text(body);
        pos += frame_header + size;
    }
    return artist_title(artist, title);
}

std::string id3v1_stem(byte_view tag) {
    constexpr size_t tag_size = 128, field = 30;
    if (tag.size() != tag_size || !tag.equals(0, "TAG")) return {};
    return artist_title(latin1_text(tag.data() + 3 + field, field), latin1_text(tag.data() + 3, field));
}

// ---- PDF ----

size_t find_text(byte_view v, std::string_view what, size_t from = 0) {
    if (from >= v.size()) return std::string_view::npos;
    std::string_view all(reinterpret_cast<const char*>(v.data()), v.size());
    return all.find(what, from);
}

bool pdf_space(uint8_t c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == 0; }

// The PDF string at pos ("(...)" or "<hex>") as UTF-8; empty when there is none.
std::string pdf_string(byte_view v, size_t pos) {
    constexpr size_t max_string = 4096;
    while (pos < v.size() && pdf_space(v.u8(pos))) ++pos;
    std::string raw;
    if (v.u8(pos) == '(') {
        int depth = 1;
        for (size_t i = pos + 1; i < v.size() && raw.size() < max_string; ++i) {
            uint8_t c = v.u8(i);
            if (c == '\\') {
                if (++i >= v.size()) return {};
                uint8_t e = v.u8(i);
                if (e >= '0' && e <= '7') {
                    int value = 0;
                    for (int k = 0; k < 3 && i < v.size() && v.u8(i) >= '0' && v.u8(i) <= '7'; ++k, ++i)
                        value = value * 8 + (v.u8(i) - '0');
                    --i;
                    raw += char(value & 0xFF);
                } else if (e == 'n') raw += '\n';
                else if (e == 'r') raw += '\r';
                else if (e == 't') raw += '\t';
                else if (e == 'b') raw += '\b';
                else if (e == 'f') raw += '\f';
                else if (e == '\r' || e == '\n') continue;
                else raw += char(e);
                continue;
            }
            if (c == '(') ++depth;
            if (c == ')' && --depth == 0) break;
            raw += char(c);
        }
        if (depth != 0) return {};
    } else if (v.u8(pos) == '<' && v.u8(pos + 1) != '<') {
        int nibble = -1;
        for (size_t i = pos + 1; i < v.size() && raw.size() < max_string; ++i) {
            uint8_t c = v.u8(i);
            if (c == '>') break;
            int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (d < 0) continue;
            if (nibble < 0) nibble = d;
            else {
                raw += char(nibble << 4 | d);
                nibble = -1;
            }
        }
    } else {
        return {};
    }
    const auto* p = reinterpret_cast<const uint8_t*>(raw.data());
    if (raw.size() >= 2 && p[0] == 0xFE && p[1] == 0xFF) return utf16_text(p, raw.size(), true, true);
    if (raw.size() >= 3 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) return raw.substr(3);
    return latin1_text(p, raw.size());
}

// The /Title of the object the last trailer's /Info names, looked for in the given parts (in file order).
std::string pdf_stem(std::initializer_list<byte_view> parts) {
    constexpr size_t max_object = 16 * 1024;
    std::string info_ref;
    for (byte_view part : parts) {
        for (size_t at = find_text(part, "/Info"); at != std::string_view::npos; at = find_text(part, "/Info", at + 5)) {
            size_t i = at + 5;
            std::string ref;
            while (i < part.size() && pdf_space(part.u8(i))) ++i;
            while (i < part.size() && ref.size() < 32 && ((part.u8(i) >= '0' && part.u8(i) <= '9') || pdf_space(part.u8(i))))
                ref += char(part.u8(i++));
            if (part.u8(i) != 'R') continue;
            // "12 0 " -> "12 0 obj"
            size_t a = ref.find_first_not_of(" \r\n\t");
            size_t b = ref.find_first_of(" \r\n\t", a);
            size_t c = ref.find_first_not_of(" \r\n\t", b);
            size_t d = ref.find_first_of(" \r\n\t", c);
            if (a == std::string::npos || c == std::string::npos) continue;
            info_ref = ref.substr(a, b - a) + " " + ref.substr(c, d - c) + " obj";
        }
    }
    if (info_ref.empty()) return {};
    // An object written again by a later update replaces the earlier one.
    std::string found;
    for (byte_view part : parts) {
        for (size_t at = find_text(part, info_ref); at != std::string_view::npos;
             at = find_text(part, info_ref, at + 1)) {
            if (at > 0 && part.u8(at - 1) >= '0' && part.u8(at - 1) <= '9') continue;  // "112 0 obj"
            byte_view object = part.sub(at, std::min(max_object, part.size() - at));
            size_t end = find_text(object, "endobj");
            if (end != std::string_view::npos) object = object.sub(0, end);
            size_t title = find_text(object, "/Title");
            found = title == std::string_view::npos ? std::string() : name_stem_of(pdf_string(object, title + 6));
        }
    }
    return found;
}

// ---- ISO media ----

// The movie header's creation time among the boxes in the head; 0 when not there.
int64_t head_movie_time(byte_view head) {
    constexpr int64_t seconds_1904_to_1970 = 2082844800;
    constexpr int max_boxes = 256;
    auto find = [&](size_t from, size_t to, const char* type, size_t& body, size_t& end) {
        size_t pos = from;
        for (int i = 0; i < max_boxes && head.has(pos, 8) && pos + 8 <= to; ++i) {
            uint64_t size = be32(head, pos), header = 8;
            if (size == 1) {
                size = be64(head, pos + 8);
                header = 16;
            } else if (size == 0) {
                size = to - pos;
            }
            if (size < header || size > to - pos) return false;
            if (head.equals(pos + 4, type)) {
                body = pos + header;
                end = pos + size;
                return true;
            }
            pos += size;
        }
        return false;
    };
    size_t moov = 0, moov_end = 0, mvhd = 0, mvhd_end = 0;
    if (!find(0, head.size(), "moov", moov, moov_end) || !find(moov, moov_end, "mvhd", mvhd, mvhd_end)) return 0;
    const uint64_t created = head.u8(mvhd) == 1 ? be64(head, mvhd + 4) : be32(head, mvhd + 4);
    if (created <= uint64_t(seconds_1904_to_1970) || !head.has(mvhd, 12)) return 0;
    return int64_t(created - seconds_1904_to_1970);
}

std::string movie_stem(int64_t t) {
    constexpr int64_t year_10000 = 253402300800;
    return t > 0 && t < year_10000 ? date_stem(t) : std::string();
}

bool read_span(device_handle& device, uint64_t offset, uint64_t size, uint64_t at, uint64_t n,
               std::vector<uint8_t>& out) {
    out.assign(n, 0);
    return at <= size && n <= size - at && device.read_exact(offset + at, out.data(), n);
}

}  // namespace

std::string name_stem_of(std::string_view text, size_t max_bytes) {
    std::string out;
    bool blank = false;
    for (size_t i = 0; i < text.size();) {
        const auto c = uint8_t(text[i]);
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool valid = len > 0 && i + len <= text.size();
        for (size_t k = 1; valid && k < len; ++k) valid = (uint8_t(text[i + k]) & 0xC0) == 0x80;
        std::string piece;
        if (!valid) {
            piece = "_";
            len = 1;
        } else if (len == 1 && (c == ' ' || c == '\t' || c == '\n' || c == '\r')) {
            blank = true;
            i += len;
            continue;
        } else if (len == 1 && (c < 0x20 || c == 0x7F || c == '/' || c == '\\')) {
            piece = "_";
        } else if (len == 2 && c == 0xC2 && uint8_t(text[i + 1]) < 0xA0) {
            piece = "_";  // C1 controls
        } else {
            piece = std::string(text.substr(i, len));
        }
        if (blank && !out.empty()) piece.insert(0, " ");
        blank = false;
        if (out.size() + piece.size() > max_bytes) break;
        out += piece;
        i += len;
    }
    if (out.find_first_not_of(". ") == std::string::npos) return {};
    return out;
}

bool has_content_name(std::string_view type) {
    return type == "jpg" || type == "mp3" || type == "pdf" || one_of(type, tiff_types) || one_of(type, movie_types) ||
           one_of(type, package_types);
}

std::string content_name(byte_view head, std::string_view type) {
    if (type == "jpg") return exif_stem(tiff_tags(jpeg_exif(head)));
    if (one_of(type, tiff_types)) return exif_stem(tiff_tags(head));
    if (type == "mp3") return id3v2_stem(head);
    if (type == "pdf") return pdf_stem({head});
    if (one_of(type, movie_types)) return movie_stem(head_movie_time(head));
    return {};
}

std::string content_name(device_handle& device, uint64_t offset, uint64_t size, std::string_view type) {
    constexpr uint64_t id3v1_size = 128;
    if (one_of(type, movie_types)) return movie_stem(capture_time(device, offset, size, type));
    if (one_of(type, package_types)) return name_stem_of(package_title(device, offset, size));
    std::vector<uint8_t> head;
    if (!read_span(device, offset, size, 0, std::min(size, content_name_head_bytes), head)) return {};
    if (type == "mp3") {
        std::string stem = id3v2_stem(byte_view(head.data(), head.size()));
        std::vector<uint8_t> tag;
        if (stem.empty() && size >= id3v1_size && read_span(device, offset, size, size - id3v1_size, id3v1_size, tag))
            stem = id3v1_stem(byte_view(tag.data(), tag.size()));
        return stem;
    }
    if (type == "pdf") {
        std::vector<uint8_t> tail;
        if (size > head.size()) {
            const uint64_t n = std::min(tail_bytes, size - head.size());
            if (!read_span(device, offset, size, size - n, n, tail)) tail.clear();
        }
        return pdf_stem({byte_view(head.data(), head.size()), byte_view(tail.data(), tail.size())});
    }
    return content_name(byte_view(head.data(), head.size()), type);
}

}  // namespace qv::sig
