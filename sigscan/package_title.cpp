#include "sigscan/package_title.hpp"

#include <zlib.h>

#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

#include "devices/le_bytes.hpp"
#include "devices/utf16_text.hpp"
#include "sigscan/zip_layout.hpp"

namespace qv::sig {

namespace {

using namespace zip;

// The end record lies within its largest comment of the file's end.
constexpr uint64_t end_search_bytes = end_bytes + 0xFFFF;
constexpr uint64_t max_central_bytes = uint64_t(4) << 20;
constexpr uint64_t max_part_bytes = uint64_t(1) << 20;  // a metadata part is a few KiB

bool read_part(device_handle& device, uint64_t offset, uint64_t size, uint64_t at, uint64_t n,
               std::vector<uint8_t>& out) {
    out.assign(n, 0);
    return at <= size && n <= size - at && device.read_exact(offset + at, out.data(), n);
}

// The part whose title a package keeps: Office Open XML, OpenDocument, EPUB.
bool metadata_part(std::string_view name) {
    return name == "docProps/core.xml" || name == "meta.xml" ||
           (name.size() > 4 && name.substr(name.size() - 4) == ".opf");
}

struct part_entry {
    uint16_t method = 0;
    uint64_t compressed = 0, size = 0, local = 0;
};

std::optional<part_entry> find_metadata_part(byte_view central) {
    for (size_t pos = 0; central.has(pos, central_bytes) && central.le32(pos) == central_signature;) {
        const size_t name_length = central.le16(pos + central_name_length);
        const size_t next = pos + central_bytes + name_length + central.le16(pos + central_extra_length) +
                            central.le16(pos + central_comment_length);
        if (!central.has(pos + central_bytes, name_length)) return std::nullopt;
        const std::string_view name(reinterpret_cast<const char*>(central.data() + pos + central_bytes), name_length);
        if (metadata_part(name))
            return part_entry{central.le16(pos + central_method), central.le32(pos + central_compressed),
                              central.le32(pos + central_uncompressed), central.le32(pos + central_local_offset)};
        pos = next;
    }
    return std::nullopt;
}

// Raw deflate data inflated to at most limit bytes; empty on an error.
std::string inflated(const std::vector<uint8_t>& in, uint64_t limit) {
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return {};
    std::string out(size_t(limit), '\0');
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = uInt(in.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    const int rc = inflate(&z, Z_FINISH);
    out.resize(z.total_out);
    inflateEnd(&z);
    return rc == Z_STREAM_END || rc == Z_BUF_ERROR ? out : std::string();
}

// Text with XML's five named entities and numeric character references resolved.
std::string xml_text(std::string_view raw) {
    std::string out;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '&') {
            out += raw[i];
            continue;
        }
        const size_t end = raw.find(';', i);
        if (end == std::string_view::npos || end - i > 10) return out;
        const std::string_view ref = raw.substr(i + 1, end - i - 1);
        static constexpr std::pair<std::string_view, char> named[] = {
            {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
        bool done = false;
        for (const auto& [name, c] : named)
            if (ref == name) out += c, done = true;
        if (!done && ref.size() > 1 && ref[0] == '#') {
            const bool hex = ref[1] == 'x' || ref[1] == 'X';
            char32_t c = 0;
            for (char d : ref.substr(hex ? 2 : 1)) {
                const int v = d >= '0' && d <= '9' ? d - '0'
                              : hex && d >= 'a' && d <= 'f' ? d - 'a' + 10
                              : hex && d >= 'A' && d <= 'F' ? d - 'A' + 10 : -1;
                if (v < 0 || c > 0x10FFFF) return out;
                c = c * (hex ? 16 : 10) + char32_t(v);
            }
            if (c == 0 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return out;
            append_code_point(out, c);
        } else if (!done) {
            return out;
        }
        i = end;
    }
    return out;
}

// The text of the first <dc:title ...>...</dc:title> in xml.
std::string dc_title(std::string_view xml) {
    const size_t open = xml.find("<dc:title");
    if (open == std::string_view::npos) return {};
    const size_t start = xml.find('>', open);
    if (start == std::string_view::npos || xml[start - 1] == '/') return {};
    const size_t close = xml.find("</dc:title>", start);
    if (close == std::string_view::npos) return {};
    return xml_text(xml.substr(start + 1, close - start - 1));
}

}  // namespace

std::string package_title(device_handle& device, uint64_t offset, uint64_t size) {
    if (size < end_bytes) return {};
    const uint64_t tail_size = std::min(size, end_search_bytes);
    std::vector<uint8_t> tail;
    if (!read_part(device, offset, size, size - tail_size, tail_size, tail)) return {};
    const byte_view t(tail.data(), tail.size());
    size_t end = tail.size() - end_bytes + 1;
    do {
        --end;
    } while (end > 0 && t.le32(end) != end_signature);
    if (t.le32(end) != end_signature) return {};
    const uint64_t central_at = t.le32(end + end_central_offset), central_length = t.le32(end + end_central_size);
    if (central_length > max_central_bytes) return {};
    std::vector<uint8_t> central;
    if (!read_part(device, offset, size, central_at, central_length, central)) return {};
    const auto part = find_metadata_part(byte_view(central.data(), central.size()));
    if (!part || part->compressed > max_part_bytes || part->size > max_part_bytes) return {};
    std::vector<uint8_t> local;
    if (!read_part(device, offset, size, part->local, local_bytes, local) ||
        byte_view(local.data(), local.size()).le32(0) != local_signature)
        return {};
    const byte_view l(local.data(), local.size());
    const uint64_t data = part->local + local_bytes + l.le16(local_name_length) + l.le16(local_extra_length);
    std::vector<uint8_t> packed;
    if (!read_part(device, offset, size, data, part->compressed, packed)) return {};
    std::string xml;
    if (part->method == method_stored) xml.assign(packed.begin(), packed.end());
    else if (part->method == method_deflated) xml = inflated(packed, part->size);
    return dc_title(xml);
}

}  // namespace qv::sig
