#include "sigscan/mpeg_audio.hpp"

#include <array>
#include <cstring>

#include "sigscan/bit_reader.hpp"

namespace qv::sig {

namespace {

constexpr std::array<std::array<uint16_t, 15>, 5> mpeg_bitrates{{
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // V1 L1
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // V1 L2
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // V1 L3
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},     // V2 L1
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},          // V2 L2, L3
}};

constexpr size_t id3_header_size = 10;
constexpr size_t id3_flags = 5, id3_size = 6;
constexpr uint8_t id3_footer_flag = 0x10;
constexpr int max_id3_padding = 64 * 1024;

constexpr size_t id3v1_size = 128, ape_footer_size = 32;
constexpr size_t ape_tag_size = 12, ape_flags = 20;
constexpr uint32_t ape_has_header = 0x80000000u;

constexpr uint32_t xing_has_frames = 1, xing_has_bytes = 2, xing_has_toc = 4, xing_has_quality = 8;
constexpr size_t xing_head = 8, xing_toc_size = 100;
// The LAME tag after the Xing fields: a 9-character encoder name, then at
// these offsets the length of the music and its CRC-16.
constexpr size_t lame_name_size = 9, lame_music_length = 28, lame_music_crc = 32, lame_tag_size = 36;

}  // namespace

std::optional<mpeg_frame> mpeg_header(const uint8_t* h) {
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return std::nullopt;
    int version = (h[1] >> 3) & 3, layer_bits = (h[1] >> 1) & 3;
    int bitrate_index = h[2] >> 4, rate_index = (h[2] >> 2) & 3, padding = (h[2] >> 1) & 1;
    if (version == 1 || layer_bits == 0 || bitrate_index == 0 || bitrate_index == 15 || rate_index == 3)
        return std::nullopt;
    if ((h[3] & 3) == 2) return std::nullopt;  // reserved emphasis
    mpeg_frame f;
    f.version = version;
    f.layer = 4 - layer_bits;
    f.crc = (h[1] & 1) == 0;
    f.bitrate_index = bitrate_index;
    f.mono = (h[3] >> 6) == 3;
    static constexpr int rates[3] = {44100, 48000, 32000};
    f.sample_rate = rates[rate_index] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    int table = version == 3 ? f.layer - 1 : (f.layer == 1 ? 3 : 4);
    uint32_t bitrate = uint32_t(mpeg_bitrates[size_t(table)][size_t(bitrate_index)]) * 1000;
    if (f.layer == 1)
        f.length = (12 * bitrate / uint32_t(f.sample_rate) + uint32_t(padding)) * 4;
    else if (f.layer == 3 && version != 3)
        f.length = 72 * bitrate / uint32_t(f.sample_rate) + uint32_t(padding);
    else
        f.length = 144 * bitrate / uint32_t(f.sample_rate) + uint32_t(padding);
    if (f.length < 4) return std::nullopt;
    return f;
}

layer3_side layer3_side_info(const mpeg_frame& f, const uint8_t* si) {
    // MPEG-1: 9 bits of main_data_begin, private bits, 4 scfsi bits a channel,
    // then two granules of 59 bits a channel. MPEG-2 and 2.5: 8 bits, private
    // bits, one granule of 63 bits a channel. part2_3_length opens each.
    const bool mpeg1 = f.version == 3;
    const unsigned channels = f.mono ? 1 : 2;
    constexpr unsigned part2_3_length = 12;
    bit_reader r(si, f.side_info_size());
    layer3_side s;
    s.main_data_begin = r.get(mpeg1 ? 9 : 8);
    r.skip(mpeg1 ? (f.mono ? 5 : 3) + 4 * channels : (f.mono ? 1 : 2));  // private bits, scfsi
    const int granules = mpeg1 ? 2 : 1;
    const unsigned per_channel = mpeg1 ? 59 : 63;
    uint32_t total = 0;
    for (int g = 0; g < granules; ++g)
        for (unsigned c = 0; c < channels; ++c) {
            total += r.get(part2_3_length);
            r.skip(per_channel - part2_3_length);
        }
    s.main_data_bytes = (total + 7) / 8;
    return s;
}

std::optional<xing_totals> xing_header(const mpeg_frame& f, const uint8_t* frame, size_t n) {
    if (f.layer != 3) return std::nullopt;
    const size_t at = f.header_size() + f.side_info_size();
    if (n < at + 16 || (std::memcmp(frame + at, "Xing", 4) != 0 && std::memcmp(frame + at, "Info", 4) != 0))
        return std::nullopt;
    const byte_view v(frame + at, n - at);
    const uint32_t flags = be32(v, 4);
    if ((flags & xing_has_frames) == 0 || (flags & xing_has_bytes) == 0) return std::nullopt;
    xing_totals totals{be32(v, 8), be32(v, 12), std::nullopt};
    const size_t lame = xing_head + 8 + ((flags & xing_has_toc) ? xing_toc_size : 0) + ((flags & xing_has_quality) ? 4 : 0);
    if (v.has(lame, lame_tag_size)) {
        bool named = true;
        for (size_t i = 0; i < lame_name_size && named; ++i) named = v.data()[lame + i] >= 0x20 && v.data()[lame + i] < 0x7F;
        // Trusted only where its length agrees with the Xing header's.
        if (named && be32(v, lame + lame_music_length) == totals.bytes)
            totals.music_crc = be16(v, lame + lame_music_crc);
    }
    return totals;
}

std::optional<uint64_t> id3v2_end(carve_input& in, uint64_t start, uint64_t limit) {
    uint8_t h[id3_header_size];
    if (!in.read(start, h, sizeof h)) return std::nullopt;
    if (std::memcmp(h, "ID3", 3) != 0) return start;
    if (h[3] < 2 || h[3] > 4 || h[4] == 0xFF) return std::nullopt;
    uint32_t size = 0;
    for (size_t i = id3_size; i < id3_header_size; ++i) {
        if (h[i] & 0x80) return std::nullopt;
        size = size << 7 | h[i];
    }
    uint64_t pos = start + id3_header_size + size + ((h[id3_flags] & id3_footer_flag) ? id3_header_size : 0);
    // Some writers pad the tag with more zeros than its size says.
    uint8_t b = 0;
    for (int zeros = 0; zeros < max_id3_padding && pos < start + limit && in.read(pos, &b, 1) && b == 0; ++zeros) ++pos;
    return pos;
}

uint64_t end_tags_end(carve_input& in, uint64_t pos, uint64_t end) {
    uint8_t t[ape_footer_size];
    if (pos + ape_footer_size <= end && in.read(pos, t, ape_footer_size) && std::memcmp(t, "APETAGEX", 8) == 0) {
        const byte_view v(t, sizeof t);
        const uint64_t size = v.le32(ape_tag_size) + ((v.le32(ape_flags) & ape_has_header) ? ape_footer_size : 0);
        if (size <= end - pos) pos += size;
    }
    if (pos + id3v1_size <= end && in.read(pos, t, 3) && std::memcmp(t, "TAG", 3) == 0) pos += id3v1_size;
    return pos;
}

}  // namespace qv::sig
