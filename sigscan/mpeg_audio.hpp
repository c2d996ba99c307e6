#pragma once
// MPEG audio frames (MP3 and its kin): the frame header, a Layer III frame's
// side information (where its main data lies in the bit reservoir), the Xing or
// Info header that gives a file's frame count and length, and the ID3v2 tag before them.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "sigscan/carve_input.hpp"

namespace qv::sig {

struct mpeg_frame {
    int version = 0;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
    int layer = 0;    // 1, 2 or 3
    int sample_rate = 0;
    uint32_t length = 0;  // the whole frame, header included
    int bitrate_index = 0;
    bool crc = false;     // a 16-bit CRC follows the header
    bool mono = false;

    bool same_stream(const mpeg_frame& o) const {
        return version == o.version && layer == o.layer && sample_rate == o.sample_rate;
    }
    // Bytes of side information after the header (and CRC), Layer III.
    size_t side_info_size() const { return version == 3 ? (mono ? 17 : 32) : (mono ? 9 : 17); }
    size_t header_size() const { return crc ? 6 : 4; }
};

// The frame whose 4-byte header is h; empty when h is no valid header.
std::optional<mpeg_frame> mpeg_header(const uint8_t* h);

// Where a Layer III frame's main data lies: main_data_begin bytes back from
// the frame's own payload, main_data_bytes long.
struct layer3_side {
    uint32_t main_data_begin = 0;
    uint32_t main_data_bytes = 0;
};
// From the side information at si (f.side_info_size() bytes).
layer3_side layer3_side_info(const mpeg_frame& f, const uint8_t* si);

// The frame count and length (from the Xing or Info frame's start to the last
// frame's end) a first frame's Xing or Info header gives; empty without both.
struct xing_totals {
    uint32_t frames = 0;  // audio frames, the Xing or Info frame not counted
    uint32_t bytes = 0;
    // The CRC-16 of the audio frames after the Xing or Info frame, where a
    // LAME tag (written by LAME and by FFmpeg's muxer) keeps it for these bytes.
    std::optional<uint16_t> music_crc;
};
std::optional<xing_totals> xing_header(const mpeg_frame& f, const uint8_t* frame, size_t n);

// The first byte after an ID3v2 tag at start (and the zeros some writers pad
// it with past its size); start when there is none; empty for a broken tag.
std::optional<uint64_t> id3v2_end(carve_input& in, uint64_t start, uint64_t limit);

// The end of the APE and ID3v1 tags that may follow the last frame at pos
// (not past end); pos when there are none.
uint64_t end_tags_end(carve_input& in, uint64_t pos, uint64_t end);

}  // namespace qv::sig
