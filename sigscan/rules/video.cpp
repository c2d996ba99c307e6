// Size rules for video containers: Matroska and WebM (EBML), MPEG transport
// streams (188- and 192-byte packets), MPEG program streams, ASF and FLV.

#include <algorithm>
#include <array>
#include <cstring>
#include <map>

#include "sigscan/rules/rules.hpp"
#include "sigscan/transport_stream.hpp"

namespace qv::sig {

namespace {

// ---- EBML ----
constexpr uint32_t ebml_header_id = 0x1A45DFA3, ebml_doctype_id = 0x4282, segment_id = 0x18538067,
                   cluster_id = 0x1F43B675;
constexpr uint64_t ebml_unknown = ~uint64_t(0);

struct ebml_element {
    uint32_t id = 0;
    uint64_t size = 0;    // ebml_unknown: "to the end of the parent"
    uint64_t header = 0;  // bytes of the id and the size
};

// The element at off (id and size fields), or empty when they are not valid.
std::optional<ebml_element> ebml_read(carve_input& in, uint64_t off, uint64_t end) {
    uint8_t b[12];
    size_t n = size_t(std::min<uint64_t>(sizeof b, end > off ? end - off : 0));
    if (n < 2 || !in.read(off, b, n)) return std::nullopt;
    int id_len = b[0] >= 0x80 ? 1 : b[0] >= 0x40 ? 2 : b[0] >= 0x20 ? 3 : b[0] >= 0x10 ? 4 : 0;
    if (id_len == 0 || size_t(id_len) >= n) return std::nullopt;
    ebml_element e;
    for (int i = 0; i < id_len; ++i) e.id = e.id << 8 | b[i];
    uint8_t first = b[id_len];
    int size_len = 1;
    while (size_len <= 8 && !(first & (0x80 >> (size_len - 1)))) ++size_len;
    if (size_len > 8 || size_t(id_len + size_len) > n) return std::nullopt;
    uint64_t value = first & (0xFFu >> size_len);
    bool all_ones = value == (0xFFu >> size_len);
    for (int i = 1; i < size_len; ++i) {
        value = value << 8 | b[id_len + i];
        all_ones = all_ones && b[id_len + i] == 0xFF;
    }
    e.size = all_ones ? ebml_unknown : value;
    e.header = uint64_t(id_len + size_len);
    return e;
}

bool segment_child(uint32_t id) {
    switch (id) {
        case 0x114D9B74:  // SeekHead
        case 0x1549A966:  // Info
        case 0x1654AE6B:  // Tracks
        case cluster_id:
        case 0x1C53BB6B:  // Cues
        case 0x1941A469:  // Attachments
        case 0x1043A770:  // Chapters
        case 0x1254C367:  // Tags
        case 0xEC:        // Void
        case 0xBF:        // CRC-32
            return true;
        default: return false;
    }
}

bool cluster_child(uint32_t id) {
    switch (id) {
        case 0xE7: case 0xA3: case 0xA0: case 0xA7: case 0xAB: case 0xAF: case 0x5854: case 0xEC: case 0xBF:
            return true;
        default: return false;
    }
}

// ---- ASF ----
using guid = std::array<uint8_t, 16>;
constexpr guid asf_header{0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr guid asf_data{0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr guid asf_simple_index{0x90, 0x08, 0x00, 0x33, 0xB1, 0xE5, 0xCF, 0x11, 0x89, 0xF4, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xCB};
constexpr guid asf_index{0xD3, 0x29, 0xE2, 0xD6, 0xDA, 0x35, 0xD1, 0x11, 0x90, 0x34, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xBE};
constexpr guid asf_media_index{0xF8, 0x03, 0xB1, 0xFE, 0xAD, 0x12, 0x64, 0x4C, 0x84, 0x0F, 0x2A, 0x1D, 0x2F, 0x7A, 0xD4, 0x8C};
constexpr guid asf_timecode_index{0xD0, 0x3F, 0xB7, 0x3C, 0x4A, 0x0C, 0x03, 0x48, 0x95, 0x3D, 0xED, 0xF7, 0xB6, 0x22, 0x8F, 0x0C};
constexpr guid asf_file_properties{0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11, 0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr guid asf_stream_properties{0x91, 0x07, 0xDC, 0xB7, 0xB7, 0xA9, 0xCF, 0x11, 0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr guid asf_video_stream{0xC0, 0xEF, 0x19, 0xBC, 0x4D, 0x5B, 0xCF, 0x11, 0xA8, 0xFD, 0x00, 0x80, 0x5F, 0x5C, 0x44, 0x2B};

bool same_guid(const uint8_t* p, const guid& g) { return std::memcmp(p, g.data(), g.size()) == 0; }

}  // namespace

std::optional<carve_result> measure_matroska(carve_input& in, uint64_t start, uint64_t limit,
                                             const file_type&) {
    constexpr uint64_t max_header = 4096;
    constexpr uint64_t max_elements = uint64_t(1) << 24;
    const uint64_t end = start + limit;
    auto head = ebml_read(in, start, end);
    if (!head || head->id != ebml_header_id || head->size == ebml_unknown || head->size > max_header)
        return std::nullopt;
    // The DocType inside the EBML header names the flavour.
    std::string doctype;
    uint64_t pos = start + head->header, head_end = pos + head->size;
    while (pos < head_end) {
        auto e = ebml_read(in, pos, head_end);
        if (!e || e->size == ebml_unknown || e->size > head_end - pos - e->header) return std::nullopt;
        if (e->id == ebml_doctype_id && e->size <= 32) {
            char text[32];
            if (!in.read(pos + e->header, text, size_t(e->size))) return std::nullopt;
            doctype.assign(text, strnlen(text, size_t(e->size)));
        }
        pos += e->header + e->size;
    }
    if (doctype != "matroska" && doctype != "webm") return std::nullopt;
    std::string_view kind = doctype == "webm" ? "webm" : "";
    auto segment = ebml_read(in, pos, end);
    if (!segment || segment->id != segment_id) return std::nullopt;
    pos += segment->header;
    if (segment->size != ebml_unknown) {
        // Its top-level elements must fill it exactly.
        if (segment->size > end - pos) return std::nullopt;
        const uint64_t segment_end = pos + segment->size;
        bool cluster = false;
        for (uint64_t count = 0; pos < segment_end; ++count) {
            auto e = ebml_read(in, pos, segment_end);
            if (!e || !segment_child(e->id) || e->size == ebml_unknown || e->size > segment_end - pos - e->header ||
                count > max_elements)
                return std::nullopt;
            cluster = cluster || e->id == cluster_id;
            pos += e->header + e->size;
            if ((count & 1023) == 1023 && !in.keep_going()) return std::nullopt;
        }
        if (!cluster) return std::nullopt;
        return sized(pos - start, limit, kind);
    }
    // A segment of unknown size (a recording that was never finished off)
    // ends where its top-level elements stop following each other.
    bool cluster = false;
    uint64_t last_good = pos;
    for (uint64_t count = 0; pos < end && count < max_elements; ++count) {
        auto e = ebml_read(in, pos, end);
        if (!e || !segment_child(e->id)) break;
        if (e->size != ebml_unknown) {
            if (e->size > end - pos - e->header) break;
            pos += e->header + e->size;
            cluster = cluster || e->id == cluster_id;
            last_good = pos;
            continue;
        }
        if (e->id != cluster_id) break;
        // A cluster of unknown size: its children up to the next top-level element.
        pos += e->header;
        while (pos < end) {
            auto c = ebml_read(in, pos, end);
            if (!c || !cluster_child(c->id) || c->size == ebml_unknown || c->size > end - pos - c->header) break;
            pos += c->header + c->size;
            if ((++count & 1023) == 0 && !in.keep_going()) return std::nullopt;
        }
        cluster = true;
        last_good = pos;
        if ((count & 1023) == 0 && !in.keep_going()) return std::nullopt;
    }
    if (!cluster) return std::nullopt;
    return sized(last_good - start, limit, kind);
}

std::optional<carve_result> measure_mpegts(carve_input& in, uint64_t start, uint64_t limit,
                                           const file_type&) {
    constexpr uint64_t new_streams_window = 512;  // packets in which new streams may appear
    constexpr uint64_t min_packets = 4;
    const auto layout = ts_layout_at(in, start);
    if (!layout) return std::nullopt;
    const uint64_t packet = layout->packet, sync_at = layout->sync_at;
    std::map<uint16_t, int> continuity;  // stream id -> last continuity counter
    // Streams the PMT lists may first appear late (an encoder holding its
    // sound back for a second); others only in the first packets.
    ts_program program;
    uint64_t count = 0, pos = start;
    while (limit - (pos - start) >= packet) {
        uint8_t h[4];
        if (!in.read(pos + sync_at, h, 4) || h[0] != ts_sync_byte) break;
        if (h[1] & 0x80) break;  // transport error: not a packet a recorder wrote
        const uint16_t pid = uint16_t((h[1] & 0x1F) << 8 | h[2]);
        const int control = (h[3] >> 4) & 3, counter = h[3] & 15;
        if (control == 0) break;  // reserved
        if ((h[1] & 0x40) && program.wants(pid)) {
            std::array<uint8_t, ts_packet_bytes> whole{};
            if (in.read(pos + sync_at, whole.data(), whole.size()))
                if (const auto header = read_ts_header(whole.data())) program.learn(whole.data(), *header);
        }
        if (pid != ts_null_pid) {
            auto it = continuity.find(pid);
            if (it == continuity.end()) {
                if (count >= new_streams_window && !program.lists(pid)) break;
                continuity[pid] = counter;
            } else {
                bool payload = control & 1;
                int expected = payload ? (it->second + 1) & 15 : it->second;
                if (counter != expected && counter != it->second) break;
                it->second = counter;
            }
        }
        pos += packet;
        if ((++count & 4095) == 0 && !in.keep_going()) return std::nullopt;
    }
    if (count < min_packets) return std::nullopt;
    return sized(pos - start, limit, packet == ts_packet_bytes ? "" : "m2ts");
}

std::optional<carve_result> measure_mpegps(carve_input& in, uint64_t start, uint64_t limit,
                                           const file_type&) {
    constexpr uint8_t pack = 0xBA, end_code = 0xB9, system_header = 0xBB, first_stream = 0xBC;
    constexpr uint64_t open_end_packs = 32;  // packs that make a file without an end code
    const uint64_t end = start + limit;
    uint64_t pos = start, packs = 0, packets = 0, count = 0;
    while (pos + 4 <= end) {
        uint8_t h[16];
        size_t n = size_t(std::min<uint64_t>(sizeof h, end - pos));
        if (!in.read(pos, h, n) || h[0] != 0 || h[1] != 0 || h[2] != 1) break;
        const uint8_t code = h[3];
        uint64_t length = 0;
        if (code == end_code) {
            if (packs == 0 || packets == 0) return std::nullopt;
            return sized(pos + 4 - start, limit);
        } else if (code == pack) {
            if (n < 14) break;
            if ((h[4] & 0xC0) == 0x40) {  // MPEG-2: marker bits and stuffing
                if (!(h[4] & 0x04) || !(h[6] & 0x04) || !(h[8] & 0x04) || !(h[9] & 0x01) || (h[12] & 3) != 3)
                    break;
                length = 14 + (h[13] & 7);
            } else if ((h[4] & 0xF0) == 0x20) {  // MPEG-1
                if (!(h[4] & 1) || !(h[6] & 1) || !(h[8] & 1) || !(h[9] & 0x80) || !(h[11] & 1)) break;
                length = 12;
            } else {
                break;
            }
            ++packs;
        } else if (code == system_header || code >= first_stream) {
            if (packs == 0 || n < 6) break;
            length = 6 + (uint64_t(h[4]) << 8 | h[5]);
            ++packets;
        } else {
            break;
        }
        if (length > end - pos) break;
        pos += length;
        if ((++count & 4095) == 0 && !in.keep_going()) return std::nullopt;
    }
    // No end code: a long run of packs still is a file (DVD sets split their
    // programs over several files without one).
    if (packs < open_end_packs || packets == 0) return std::nullopt;
    return sized(pos - start, limit);
}

std::optional<carve_result> measure_asf(carve_input& in, uint64_t start, uint64_t limit,
                                        const file_type&) {
    constexpr size_t object_header = 24, header_object_fixed = 30;
    constexpr size_t file_size_at = 40, flags_at = 88, stream_type_at = 24;
    constexpr uint32_t broadcast = 1;
    constexpr uint32_t max_header_objects = 1024;
    const uint64_t end = start + limit;
    uint8_t h[header_object_fixed];
    if (!in.read(start, h, sizeof h) || !same_guid(h, asf_header)) return std::nullopt;
    byte_view hv(h, sizeof h);
    const uint64_t header_size = hv.le64(16);
    const uint32_t objects = hv.le32(24);
    if (header_size < header_object_fixed || header_size > limit || objects == 0 || objects > max_header_objects)
        return std::nullopt;
    // The header's objects: file properties and the kinds of stream.
    uint64_t declared = 0;
    bool properties = false, video = false;
    uint64_t pos = start + header_object_fixed;
    const uint64_t header_end = start + header_size;
    for (uint32_t i = 0; i < objects; ++i) {
        uint8_t o[flags_at + 4];
        if (pos + object_header > header_end || !in.read(pos, o, object_header)) return std::nullopt;
        byte_view ov(o, sizeof o);
        uint64_t size = ov.le64(16);
        if (size < object_header || size > header_end - pos) return std::nullopt;
        if (same_guid(o, asf_file_properties)) {
            if (size < sizeof o || !in.read(pos, o, sizeof o)) return std::nullopt;
            properties = true;
            if (!(ov.le32(flags_at) & broadcast)) declared = ov.le64(file_size_at);
        } else if (same_guid(o, asf_stream_properties) && size >= stream_type_at + 16) {
            uint8_t type[16];
            if (!in.read(pos + stream_type_at, type, sizeof type)) return std::nullopt;
            video = video || same_guid(type, asf_video_stream);
        }
        pos += size;
    }
    if (!properties) return std::nullopt;
    // Top-level objects after the header: the data and the indexes.
    pos = header_end;
    bool data = false;
    while (pos + object_header <= end) {
        uint8_t o[object_header];
        if (!in.read(pos, o, sizeof o)) break;
        bool known = same_guid(o, asf_data) || same_guid(o, asf_simple_index) || same_guid(o, asf_index) ||
                     same_guid(o, asf_media_index) || same_guid(o, asf_timecode_index);
        if (!known) break;
        uint64_t size = byte_view(o, sizeof o).le64(16);
        if (size < object_header || size > end - pos) return std::nullopt;
        data = data || same_guid(o, asf_data);
        pos += size;
    }
    if (!data) return std::nullopt;
    uint64_t size = pos - start;
    // The file size the header gives wins when the objects fit inside it.
    if (declared >= size && declared <= limit) size = declared;
    return sized(size, limit, video ? "" : "wma");
}

std::optional<carve_result> measure_flv(carve_input& in, uint64_t start, uint64_t limit,
                                        const file_type&) {
    constexpr size_t header_size = 9, tag_header = 11, back_pointer = 4;
    const uint64_t end = start + limit;
    uint8_t h[header_size + back_pointer];
    if (!in.read(start, h, sizeof h)) return std::nullopt;
    byte_view v(h, sizeof h);
    if (h[3] != 1 || (h[4] & ~0x05) != 0 || be32(v, 5) < header_size || be32(v, 5) > 1024) return std::nullopt;
    uint64_t pos = start + be32(v, 5);
    uint8_t zero[back_pointer];
    if (!in.read(pos, zero, back_pointer) || be32(byte_view(zero, back_pointer), 0) != 0) return std::nullopt;
    pos += back_pointer;
    uint64_t tags = 0, last_good = 0;
    while (pos + tag_header + back_pointer <= end) {
        uint8_t t[tag_header];
        if (!in.read(pos, t, sizeof t)) break;
        const int type = t[0] & 0x1F;
        if ((t[0] & 0xC0) || (type != 8 && type != 9 && type != 18)) break;
        if (t[8] || t[9] || t[10]) break;  // stream id is always 0
        const uint64_t data = uint64_t(t[1]) << 16 | uint64_t(t[2]) << 8 | t[3];
        const uint64_t whole = tag_header + data;
        if (whole + back_pointer > end - pos) break;
        uint8_t b[back_pointer];
        if (!in.read(pos + whole, b, back_pointer) || be32(byte_view(b, back_pointer), 0) != whole) break;
        pos += whole + back_pointer;
        last_good = pos;
        if ((++tags & 4095) == 0 && !in.keep_going()) return std::nullopt;
    }
    if (tags == 0) return std::nullopt;
    return sized(last_good - start, limit);
}

}  // namespace qv::sig
