#pragma once
// Files found in two pieces: where a PNG's chunk chain, a JPEG's entropy-coded
// data, a ZIP's entries, an MP4's media, an MP3's frames or a transport
// stream's packets break at a cluster boundary, the continuation is looked
// for at the following cluster boundaries and accepted only when the joined
// file checks (every chunk's CRC through IEND; the JPEG decoded to EOI; the
// ZIP's entries lined up to its end record, CRCs checked; every chunk of the
// MP4's media checked as its codec's data; the MP3's frames to its length; the
// stream's counters, clock, stamps and video across the break).

#include <cstdint>
#include <optional>
#include <string_view>

#include "sigscan/carve_input.hpp"

namespace qv::sig {

struct file_piece {
    uint64_t offset = 0;
    uint64_t size = 0;
    bool operator==(const file_piece&) const = default;
};

struct joined_file {
    file_piece first, second;  // the file is first's bytes followed by second's
    std::string_view type = {};  // a refined type ("docx" for a ZIP); empty: the rule's own
};

struct join_limits {
    uint64_t cluster = 4096;            // the file system's allocation unit in bytes
    uint64_t cluster_base = 0;          // device offset of a cluster boundary (the data area)
    uint64_t max_gap_clusters = 4096;   // how far past the break the continuation may start
    // The most bytes checksummed in trying continuations: bounds the work on
    // data that looks like chunk headers everywhere (text) or on huge chunks.
    uint64_t max_checked_bytes = uint64_t(256) << 20;

    // The first cluster boundary at or after device offset x.
    uint64_t boundary_from(uint64_t x) const {
        const uint64_t base = cluster_base % cluster;
        return x <= base ? base : base + (x - base + cluster - 1) / cluster * cluster;
    }
};

// A PNG starting at start (its signature) whose chunks stop checking before
// IEND: the two pieces whose join checks whole, the nearest break and then the
// nearest continuation first; empty when the file is whole, is not a PNG, or
// no continuation within the limits checks. limit: the most bytes the file may have.
std::optional<joined_file> join_png(carve_input& in, uint64_t start, uint64_t limit, const join_limits& limits);

// A sequential Huffman JPEG starting at start (its SOI) whose entropy-coded
// data stop making sense before its last MCU and EOI: the two pieces whose
// join walks code by code to EOI and then decodes with libjpeg without a
// warning, the nearest continuation first; empty when the file is whole, is
// not such a JPEG, or no continuation within the limits decodes whole.
// max_checked_bytes bounds the bytes walked and decoded for continuations.
std::optional<joined_file> join_jpeg(carve_input& in, uint64_t start, uint64_t limit, const join_limits& limits);

// A ZIP (or a file built on it: docx, odt, epub, jar...) starting at start
// (its first local header) whose local entries, central directory or end
// record stop lining up: the two pieces whose join walks every entry to the
// end record, with the central directory naming each local header and each
// member that crosses the break inflating to its CRC-32, the nearest
// continuation first; empty when the file is whole, is not a ZIP, a member
// across the break cannot be checked (encrypted, another method), or no
// continuation within the limits checks. max_checked_bytes bounds the bytes
// read, inflated and summed.
std::optional<joined_file> join_zip(carve_input& in, uint64_t start, uint64_t limit, const join_limits& limits);

// An MP3 starting at start (its ID3v2 tag or first frame) whose first frame
// is a Xing or Info header and whose frames stop following before the length
// that header gives: the two pieces whose join walks frame by frame to exactly
// that length and frame count, and then gives the music CRC its LAME tag keeps
// or, without one, has a varying bitrate and every frame's main data begin in
// the bit reservoir where the last one's ended; empty when the file is whole,
// has no such header, has no music CRC and a constant bitrate or main data not
// packed back to back (nothing then tells a right continuation), or no
// continuation within the limits checks, or two do.
std::optional<joined_file> join_mp3(carve_input& in, uint64_t start, uint64_t limit, const join_limits& limits);

// True when an MP3 measured over size bytes is shorter than its Xing or Info header says.
bool mp3_shows_break(carve_input& in, uint64_t start, uint64_t size);

// An MP4, MOV, 3GP or M4A (ISO media boxes) starting at start (its ftyp box)
// whose movie box lies past a gap after its media data, or whose media data,
// with the movie box at the front, stop checking: the two pieces whose join
// puts every chunk of media the sample tables list where it checks as its
// codec's data (H.264 and HEVC samples as NAL units adding up to their size,
// Motion JPEG frames SOI to EOI, AAC frames to their end element), with the
// break pinned to one cluster boundary by the video on both sides of it (where
// the samples' lengths leave more than one, by the bytes inside the NAL units
// or by the JPEG frames across it decoding without a warning), the
// nearest continuation first; empty when the file is whole, the tables do not
// add up, the break cannot be pinned (more than one boundary fits) or no
// continuation within the limits checks. The type is mov, m4a, 3gp... as the
// file's brands tell. max_checked_bytes bounds the movie boxes read and the
// samples looked at.
std::optional<joined_file> join_mp4(carve_input& in, uint64_t start, uint64_t limit, const join_limits& limits);

// Quick signs that an MP4 whose boxes measured it whole over size bytes, its
// movie box ahead of its media, is two pieces: the last chunk of a track's
// media does not check where it lies.
bool mp4_shows_break(carve_input& in, uint64_t start, uint64_t size, const join_limits& limits);

// An MPEG transport stream (or M2TS) starting at start whose packets stop
// following on within a packet of a cluster boundary: the two pieces whose
// join carries on across the break, the packet the break cut ending where the
// next sync byte lies, every stream's continuity counter following on over
// the next 256 packets, the clock reference moving on by no more than twice
// its longest step before, the first video frame past the break stamped one
// frame step after the last before it, and the H.264 or HEVC video decoding
// without damage from the last key frame before the break through two whole
// frames after it; the nearest continuation first; empty when the file is whole, has no such video, this
// build cannot decode video, or two places in one cluster read alike. The
// type is m2ts for 192-byte packets. max_checked_bytes bounds the packets read.
std::optional<joined_file> join_ts(carve_input& in, uint64_t start, uint64_t limit, const join_limits& limits);

// True when a transport stream measured over size bytes stops within a packet of a cluster boundary.
bool ts_shows_break(carve_input& in, uint64_t start, uint64_t size, const join_limits& limits);

// Quick signs, before any decoding, that a JPEG whose markers measured it
// whole over size bytes is two pieces with a gap between: restart markers out
// of turn, or a cluster of its entropy-coded data opening with a sector of
// one byte value (zeros, erased flash).
bool jpeg_shows_break(carve_input& in, uint64_t start, uint64_t size, const join_limits& limits);

}  // namespace qv::sig
