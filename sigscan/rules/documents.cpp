// Size rules for documents: PDF, OLE compound files, RTF, HTML, XML and SQLite.

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "sigscan/rules/rules.hpp"

namespace qv::sig {

namespace {

constexpr uint64_t sector = 512;
constexpr size_t chunk = 64 * 1024;
constexpr size_t first_piece = 2048;

bool is_space(int c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }

// True when a new text document starts at a sector boundary at off.
bool text_document_starts(carve_input& in, uint64_t off) {
    uint8_t h[9];
    if (!in.read(off, h, sizeof h)) return false;
    auto starts = [&](const char* s) {
        size_t n = std::strlen(s);
        for (size_t i = 0; i < n; ++i)
            if (std::tolower(h[i]) != s[i]) return false;
        return true;
    };
    return starts("<!doctype") || starts("<html") || starts("<?xml ") || starts("{\\rtf") ||
           starts("%pdf-");
}

// End of the run of text from start: stops at a NUL or a control character,
// at limit, or where another text document begins at a sector boundary.
uint64_t text_run_end(carve_input& in, uint64_t start, uint64_t end) {
    constexpr size_t look = 16;
    std::vector<uint8_t> buf;
    uint64_t pos = start;
    size_t piece = first_piece;  // most runs end soon: read a little first
    while (pos < end) {
        size_t n = size_t(std::min<uint64_t>(piece + look, end - pos));
        if (buf.size() < n) buf.resize(n);
        if (!in.read(pos, buf.data(), n)) return pos;
        size_t scan = std::min(n, piece);
        piece = std::min(piece * 4, chunk);
        for (size_t i = 0; i < scan; ++i) {
            uint8_t c = buf[i];
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f') return pos + i;
            if (c == 0x7F) return pos + i;
            uint64_t at = pos + i;
            if (at > start && at % sector == 0 && (c == '<' || c == '{' || c == '%') &&
                text_document_starts(in, at))
                return at;
        }
        pos += scan;
    }
    return end;
}

// Offset just past the last "</name>" (any letter case, blanks allowed before
// '>') in [from, end), or npos.
uint64_t last_closing_tag(carve_input& in, uint64_t from, uint64_t end, const std::string& name) {
    constexpr size_t look = 80;
    uint64_t found = carve_input::npos;
    std::vector<uint8_t> buf;
    uint64_t pos = from;
    size_t piece = first_piece;
    while (pos < end) {
        size_t n = size_t(std::min<uint64_t>(piece + look, end - pos));
        if (buf.size() < n) buf.resize(n);
        if (!in.read(pos, buf.data(), n)) break;
        size_t scan = std::min(n, piece);
        piece = std::min(piece * 4, chunk);
        for (size_t i = 0; i < scan; ++i) {
            if (buf[i] != '<' || i + 1 >= n || buf[i + 1] != '/') continue;
            size_t k = 0;
            while (k < name.size() && i + 2 + k < n &&
                   std::tolower(buf[i + 2 + k]) == std::tolower(uint8_t(name[k])))
                ++k;
            if (k != name.size()) continue;
            size_t j = i + 2 + k;
            while (j < n && is_space(buf[j])) ++j;
            if (j < n && buf[j] == '>') found = pos + j + 1;
        }
        pos += scan;
    }
    return found;
}

std::optional<carve_result> closing_tag_result(carve_input& in, uint64_t start, uint64_t limit,
                                               const std::string& root) {
    uint64_t end = text_run_end(in, start, start + limit);
    uint64_t close = last_closing_tag(in, start, end, root);
    if (close == carve_input::npos) return std::nullopt;
    return sized(close + line_end_at(in, close, end) - start, limit);
}

}  // namespace

std::optional<carve_result> measure_pdf(carve_input& in, uint64_t start, uint64_t limit,
                                        const file_type&) {
    static const byte_pattern eof = byte_pattern::literal("%%EOF");
    static const byte_pattern header = byte_pattern::literal("%PDF-");
    const uint64_t end = start + limit;
    uint8_t version[3];
    if (!in.read(start + 5, version, 3) || !std::isdigit(version[0]) || version[1] != '.' ||
        !std::isdigit(version[2]))
        return std::nullopt;
    uint64_t pos = start + 5;
    uint64_t last = carve_input::npos;
    // Incremental updates append objects after a %%EOF and end with one of their
    // own; the file ends at the last %%EOF of that chain.
    while (pos < end) {
        uint64_t at = in.find(eof, pos, end);
        if (at == carve_input::npos) break;
        for (uint64_t h = in.find(header, pos, at); h != carve_input::npos;
             h = in.find(header, h + 1, at)) {
            if (h % sector == 0) return last == carve_input::npos ? std::nullopt : sized(last - start, limit);
        }
        uint64_t after = at + eof.size();
        after += line_end_at(in, after, end);
        last = after;
        uint64_t p = after;
        int c = byte_at(in, p);
        for (int skipped = 0; skipped < 16 && is_space(c); ++skipped) c = byte_at(in, ++p);
        uint8_t word[4];
        bool more = (c >= '0' && c <= '9') || c == '%' ||
                    (in.read(p, word, 4) && std::memcmp(word, "xref", 4) == 0);
        if (!more) break;
        pos = after;
    }
    if (last == carve_input::npos) return std::nullopt;
    return sized(last - start, limit);
}

std::optional<carve_result> measure_ole(carve_input& in, uint64_t start, uint64_t limit,
                                        const file_type&) {
    constexpr size_t header_size = 512;
    constexpr size_t major_version = 0x1A, byte_order = 0x1C, sector_shift_at = 0x1E,
                     mini_shift_at = 0x20, fat_count_at = 0x2C, first_dir_at = 0x30,
                     first_difat_at = 0x44, difat_count_at = 0x48, header_difat = 0x4C;
    constexpr uint32_t header_difat_entries = 109;
    constexpr uint32_t free_sector = 0xFFFFFFFF, end_of_chain = 0xFFFFFFFE;
    constexpr size_t dir_entry_size = 128;
    uint8_t h[header_size];
    if (!in.read(start, h, sizeof h)) return std::nullopt;
    byte_view v(h, sizeof h);
    uint16_t major = v.le16(major_version);
    uint16_t shift = v.le16(sector_shift_at);
    if (v.le16(byte_order) != 0xFFFE || v.le16(mini_shift_at) != 6) return std::nullopt;
    if (!((major == 3 && shift == 9) || (major == 4 && shift == 12))) return std::nullopt;
    const uint64_t ss = uint64_t(1) << shift;
    const uint64_t sectors_in_limit = limit / ss;  // including the header sector
    if (sectors_in_limit < 2) return std::nullopt;
    auto sector_ok = [&](uint32_t s) { return uint64_t(s) + 2 <= sectors_in_limit; };
    auto sector_at = [&](uint32_t s) { return start + (uint64_t(s) + 1) * ss; };
    uint32_t fat_sectors = v.le32(fat_count_at);
    const uint32_t per_sector = uint32_t(ss / 4);
    if (fat_sectors == 0 || fat_sectors > sectors_in_limit / per_sector + 1) return std::nullopt;

    // The FAT's own sectors: from the header, then the DIFAT chain.
    std::vector<uint32_t> fat_list;
    for (uint32_t i = 0; i < header_difat_entries && fat_list.size() < fat_sectors; ++i)
        fat_list.push_back(v.le32(header_difat + 4 * i));
    uint32_t difat = v.le32(first_difat_at);
    uint32_t difat_left = v.le32(difat_count_at);
    std::vector<uint8_t> buf(ss);
    while (fat_list.size() < fat_sectors) {
        if (difat_left-- == 0 || !sector_ok(difat) || !in.read(sector_at(difat), buf.data(), ss))
            return std::nullopt;
        byte_view d(buf.data(), ss);
        for (uint32_t i = 0; i + 1 < per_sector && fat_list.size() < fat_sectors; ++i)
            fat_list.push_back(d.le32(4 * i));
        difat = d.le32(ss - 4);
    }
    std::vector<uint32_t> fat(size_t(fat_sectors) * per_sector);
    int64_t highest = -1;
    for (uint32_t i = 0; i < fat_sectors; ++i) {
        if (!sector_ok(fat_list[i]) || !in.read(sector_at(fat_list[i]), buf.data(), ss)) return std::nullopt;
        byte_view d(buf.data(), ss);
        for (uint32_t k = 0; k < per_sector; ++k) {
            uint32_t entry = d.le32(4 * k);
            size_t index = size_t(i) * per_sector + k;
            fat[index] = entry;
            if (entry != free_sector) highest = int64_t(index);
        }
    }
    if (highest < 0 || !sector_ok(uint32_t(highest))) return std::nullopt;
    uint64_t size = (uint64_t(highest) + 2) * ss;

    // The directory: the root entry first; stream names tell the document kind.
    std::string_view kind;
    uint32_t dir = v.le32(first_dir_at);
    bool root = false;
    for (size_t walked = 0; dir != end_of_chain && walked < 4096; ++walked) {
        if (dir >= fat.size() || uint64_t(dir) > uint64_t(highest) || !in.read(sector_at(dir), buf.data(), ss))
            return std::nullopt;
        for (size_t e = 0; e + dir_entry_size <= ss; e += dir_entry_size) {
            byte_view d(buf.data() + e, dir_entry_size);
            uint16_t name_bytes = d.le16(0x40);
            uint8_t object = d.u8(0x42);
            if (name_bytes < 2 || name_bytes > 64) continue;
            std::string name;
            for (size_t i = 0; i + 2 < name_bytes; i += 2) {
                uint16_t unit = d.le16(i);
                name += unit < 0x80 ? char(unit) : '?';
            }
            if (walked == 0 && e == 0) root = object == 5 && name == "Root Entry";
            if (object != 2 || !kind.empty()) continue;
            if (name == "WordDocument") kind = "doc";
            else if (name == "Workbook" || name == "Book") kind = "xls";
            else if (name == "PowerPoint Document") kind = "ppt";
        }
        dir = fat[dir];
    }
    if (!root) return std::nullopt;
    return sized(size, limit, kind);
}

std::optional<carve_result> measure_rtf(carve_input& in, uint64_t start, uint64_t limit,
                                        const file_type&) {
    enum class state { text, escape, word, number };
    const uint64_t end = start + limit;
    state st = state::text;
    std::string word;
    uint64_t number = 0;
    uint64_t skip = 0;
    int64_t depth = 0;
    uint64_t pos = start;
    constexpr size_t look = 5;
    std::vector<uint8_t> buf;
    size_t piece = first_piece;
    while (pos < end) {
        size_t n = size_t(std::min<uint64_t>(piece + look, end - pos));
        if (buf.size() < n) buf.resize(n);
        if (!in.read(pos, buf.data(), n)) return std::nullopt;
        size_t scan = std::min(n, piece);
        piece = std::min(piece * 4, chunk);
        for (size_t i = 0; i < scan; ++i) {
            if (skip > 0) {
                uint64_t k = std::min<uint64_t>(skip, scan - i);
                skip -= k;
                i += size_t(k) - 1;
                continue;
            }
            uint8_t c = buf[i];
            // Another RTF document starting at a sector boundary: this one never closed.
            if (c == '{' && pos + i > start && (pos + i) % sector == 0 && i + look <= n &&
                std::memcmp(&buf[i], "{\\rtf", 5) == 0)
                return std::nullopt;
            bool again = true;
            while (again) {
                again = false;
                switch (st) {
                    case state::text:
                        if (c == '\\') {
                            st = state::escape;
                        } else if (c == '{') {
                            ++depth;
                        } else if (c == '}') {
                            if (--depth == 0) {
                                uint64_t close = pos + i + 1;
                                return sized(close + line_end_at(in, close, end) - start, limit);
                            }
                            if (depth < 0) return std::nullopt;
                        } else if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c >= 0x80) {
                            return std::nullopt;  // RTF is 7-bit text; other bytes come escaped
                        }
                        break;
                    case state::escape:
                        if (std::isalpha(c)) {
                            word.assign(1, char(c));
                            st = state::word;
                        } else {
                            st = state::text;
                        }
                        break;
                    case state::word:
                        if (std::isalpha(c) && word.size() < 32) {
                            word += char(c);
                        } else if (std::isdigit(c) || c == '-') {
                            number = std::isdigit(c) ? uint64_t(c - '0') : 0;
                            st = state::number;
                        } else {
                            st = state::text;
                            again = c != ' ';
                        }
                        break;
                    case state::number:
                        if (std::isdigit(c)) {
                            number = std::min<uint64_t>(number * 10 + uint64_t(c - '0'), limit);
                        } else {
                            st = state::text;
                            if (word == "bin") {
                                skip = number;
                                if (c != ' ' && skip > 0) --skip;  // c is already the first data byte
                            } else {
                                again = c != ' ';
                            }
                        }
                        break;
                }
            }
        }
        pos += scan;
    }
    return std::nullopt;
}

std::optional<carve_result> measure_html(carve_input& in, uint64_t start, uint64_t limit,
                                         const file_type&) {
    return closing_tag_result(in, start, limit, "html");
}

std::optional<carve_result> measure_xml(carve_input& in, uint64_t start, uint64_t limit,
                                        const file_type&) {
    constexpr uint64_t prolog_limit = 64 * 1024;
    const uint64_t end = start + std::min(limit, prolog_limit);
    uint64_t pos = start;
    // Skip the declaration, comments, processing instructions and the doctype.
    for (int items = 0; items < 256; ++items) {
        int c = byte_at(in, pos);
        while (is_space(c)) c = byte_at(in, ++pos);
        if (c != '<' || pos >= end) return std::nullopt;
        uint8_t h[4] = {};
        if (!in.read(pos, h, 4)) return std::nullopt;
        std::string closer;
        if (h[1] == '?') closer = "?>";
        else if (h[1] == '!' && h[2] == '-' && h[3] == '-') closer = "-->";
        else if (h[1] == '!') closer = ">";
        else break;
        // A doctype's internal subset may hold '>' inside brackets.
        const bool doctype = closer == ">";
        const int last = uint8_t(closer.back());
        int brackets = 0;
        uint64_t p = pos + 2;
        bool closed = false;
        while (p < end && !closed) {
            int b = byte_at(in, p);
            if (b < 0) return std::nullopt;
            if (doctype && b == '[') ++brackets;
            if (doctype && b == ']') --brackets;
            if (b == last && (!doctype || brackets <= 0)) {
                uint8_t t[3] = {};
                size_t n = closer.size();
                if (p + 1 >= n && in.read(p + 1 - n, t, n) && std::memcmp(t, closer.data(), n) == 0)
                    closed = true;
            }
            ++p;
        }
        if (!closed) return std::nullopt;
        pos = p;
    }
    std::string root;
    for (uint64_t p = pos + 1; p < end && root.size() < 64; ++p) {
        int b = byte_at(in, p);
        if (b < 0) return std::nullopt;
        if (is_space(b) || b == '>' || b == '/') break;
        root += char(b);
    }
    if (root.empty() || !(std::isalpha(uint8_t(root[0])) || root[0] == '_')) return std::nullopt;
    return closing_tag_result(in, start, limit, root);
}

std::optional<carve_result> measure_sqlite(carve_input& in, uint64_t start, uint64_t limit,
                                           const file_type&) {
    constexpr size_t header_size = 100;
    constexpr size_t page_size_at = 16, write_version = 18, read_version = 19, max_fraction = 21,
                     min_fraction = 22, leaf_fraction = 23, change_counter = 24, page_count_at = 28,
                     valid_for = 92;
    uint8_t h[header_size];
    if (!in.read(start, h, sizeof h)) return std::nullopt;
    byte_view v(h, sizeof h);
    uint32_t page = be16(v, page_size_at);
    if (page == 1) page = 65536;
    if (page < 512 || (page & (page - 1)) != 0) return std::nullopt;
    if (h[write_version] < 1 || h[write_version] > 2 || h[read_version] < 1 || h[read_version] > 2)
        return std::nullopt;
    if (h[max_fraction] != 64 || h[min_fraction] != 32 || h[leaf_fraction] != 32) return std::nullopt;
    uint32_t pages = be32(v, page_count_at);
    if (pages == 0 || be32(v, change_counter) != be32(v, valid_for)) return std::nullopt;
    return sized(uint64_t(pages) * page, limit);
}

}  // namespace qv::sig
