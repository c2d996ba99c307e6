// Size rules for sound files: AAC in ADTS frames, IFF forms (AIFF, and DjVu
// documents, which use the same container), AMR and MIDI.

#include <algorithm>
#include <array>
#include <cstring>

#include "sigscan/rules/rules.hpp"

namespace qv::sig {

namespace {

bool printable_id(const uint8_t* t) {
    for (int i = 0; i < 4; ++i)
        if (t[i] < 0x20 || t[i] > 0x7E) return false;
    return true;
}

}  // namespace

std::optional<carve_result> measure_adts(carve_input& in, uint64_t start, uint64_t limit,
                                         const file_type&) {
    constexpr size_t header_size = 7;
    constexpr int max_rate_index = 12;
    constexpr uint64_t min_frames = 6;
    const uint64_t end = start + limit;
    uint64_t pos = start, frames = 0;
    uint8_t first[header_size] = {};
    while (pos + header_size <= end) {
        uint8_t h[header_size];
        if (!in.read(pos, h, sizeof h)) break;
        if (h[0] != 0xFF || (h[1] & 0xF6) != 0xF0) break;  // sync, layer 0
        if (((h[2] >> 2) & 15) > max_rate_index) break;
        const uint32_t length = uint32_t(h[3] & 3) << 11 | uint32_t(h[4]) << 3 | h[5] >> 5;
        const uint32_t header = (h[1] & 1) ? 7 : 9;  // protection absent, or a CRC follows
        if (length <= header || length > end - pos) break;
        // Every frame of one stream has the same version, profile, rate and channels.
        if (frames == 0) {
            std::memcpy(first, h, sizeof h);
        } else if (h[1] != first[1] || (h[2] & 0xFD) != (first[2] & 0xFD) || (h[3] & 0xC0) != (first[3] & 0xC0)) {
            break;
        }
        pos += length;
        if ((++frames & 4095) == 0 && !in.keep_going()) return std::nullopt;
    }
    if (frames < min_frames) return std::nullopt;
    return sized(pos - start, limit);
}

std::optional<carve_result> measure_iff(carve_input& in, uint64_t start, uint64_t limit,
                                        const file_type&) {
    constexpr size_t chunk_header = 8;
    constexpr uint64_t max_chunks = 1 << 20;
    uint8_t h[16];
    if (!in.read(start, h, sizeof h)) return std::nullopt;
    // DjVu files put "AT&T" before their FORM.
    const uint64_t prefix = std::memcmp(h, "AT&T", 4) == 0 ? 4 : 0;
    const uint8_t* form = h + prefix;
    if (std::memcmp(form, "FORM", 4) != 0 || !printable_id(form + 8)) return std::nullopt;
    const uint64_t form_size = be32(byte_view(form, 8), 4);
    if (form_size < 4 + chunk_header || form_size > limit - prefix - chunk_header) return std::nullopt;
    std::string_view kind(reinterpret_cast<const char*>(form + 8), 4);
    const bool aiff = kind == "AIFF" || kind == "AIFC";
    const bool djvu = prefix == 4 && (kind == "DJVU" || kind == "DJVM" || kind == "DJVI");
    if (!aiff && !djvu) return std::nullopt;
    // The chunks inside must fill the form exactly (each padded to an even length).
    const uint64_t form_end = start + prefix + chunk_header + form_size;
    uint64_t pos = start + prefix + chunk_header + 4;
    bool common = false;
    for (uint64_t n = 0; pos < form_end; ++n) {
        if (n > max_chunks || form_end - pos < chunk_header) return std::nullopt;
        uint8_t c[chunk_header];
        if (!in.read(pos, c, sizeof c) || !printable_id(c)) return std::nullopt;
        uint64_t size = be32(byte_view(c, sizeof c), 4);
        if (size > form_end - pos - chunk_header) return std::nullopt;
        if (std::memcmp(c, "COMM", 4) == 0) common = true;
        pos += chunk_header + size;
        if ((size & 1) && pos < form_end) ++pos;
    }
    if (aiff && !common) return std::nullopt;
    return sized(form_end - start, limit, aiff ? "" : "djvu");
}

std::optional<carve_result> measure_amr(carve_input& in, uint64_t start, uint64_t limit,
                                        const file_type&) {
    // Bytes of each frame (its header byte included) by frame type; 0: reserved.
    static constexpr std::array<uint8_t, 16> narrow{13, 14, 16, 18, 20, 21, 27, 32, 6, 0, 0, 0, 0, 0, 0, 1};
    static constexpr std::array<uint8_t, 16> wide{18, 24, 33, 37, 41, 47, 51, 59, 61, 6, 0, 0, 0, 0, 1, 1};
    constexpr uint64_t min_frames = 5;
    constexpr size_t chunk = 4096;
    const uint64_t end = start + limit;
    uint8_t magic[9];
    if (!in.read(start, magic, sizeof magic)) return std::nullopt;
    const bool is_wide = std::memcmp(magic, "#!AMR-WB\n", 9) == 0;
    if (!is_wide && std::memcmp(magic, "#!AMR\n", 6) != 0) return std::nullopt;
    const auto& sizes = is_wide ? wide : narrow;
    uint64_t pos = start + (is_wide ? 9 : 6), frames = 0;
    while (pos < end) {
        byte_view v = in.view(pos, size_t(std::min<uint64_t>(chunk, end - pos)));
        if (v.empty()) break;
        size_t i = 0;
        bool stop = false;
        while (i < v.size()) {
            const uint8_t b = v.data()[i];
            // Padding bits are zero; a frame the encoder marked bad ends the recording.
            const unsigned size = sizes[(b >> 3) & 15];
            if ((b & 0x83) != 0 || !(b & 0x04) || size == 0 || size > end - (pos + i)) {
                stop = true;
                break;
            }
            i += size;
            ++frames;
        }
        pos += i;
        if (stop) break;
        if (!in.keep_going()) return std::nullopt;
    }
    if (frames < min_frames) return std::nullopt;
    return sized(pos - start, limit);
}

std::optional<carve_result> measure_midi(carve_input& in, uint64_t start, uint64_t limit,
                                         const file_type&) {
    constexpr size_t chunk_header = 8, header_chunk = 14;
    constexpr uint64_t max_chunks = 1 << 16;
    const uint64_t end = start + limit;
    uint8_t h[header_chunk];
    if (!in.read(start, h, sizeof h) || std::memcmp(h, "MThd", 4) != 0) return std::nullopt;
    byte_view v(h, sizeof h);
    const uint32_t length = be32(v, 4);
    const uint16_t format = be16(v, 8), tracks = be16(v, 10);
    if (length < 6 || length > 64 || format > 2 || tracks == 0 || (format == 0 && tracks != 1)) return std::nullopt;
    uint64_t pos = start + chunk_header + length;
    uint32_t seen = 0;
    for (uint64_t n = 0; seen < tracks; ++n) {
        uint8_t c[chunk_header];
        if (n > max_chunks || pos + chunk_header > end || !in.read(pos, c, sizeof c) || !printable_id(c))
            return std::nullopt;
        uint64_t size = be32(byte_view(c, sizeof c), 4);
        if (size > end - pos - chunk_header) return std::nullopt;
        if (std::memcmp(c, "MTrk", 4) == 0) ++seen;  // other chunks are skipped, as players do
        pos += chunk_header + size;
    }
    return sized(pos - start, limit);
}

}  // namespace qv::sig
