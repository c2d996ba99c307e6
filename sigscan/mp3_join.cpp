// MP3 files found in two pieces. A continuation is taken only when the frames
// chain on from the break to exactly the length and frame count the file's
// Xing or Info header gives, and then either the CRC-16 of all its frames that
// a LAME tag keeps comes out right or, without one, the bitrate varies from
// frame to frame and each frame's main data begin in the bit reservoir where
// the frame before left off, across the break as they did before it (frames
// carry no checksum of their own).

#include "sigscan/fragment_join.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "sigscan/crc.hpp"
#include "sigscan/joined_view.hpp"
#include "sigscan/mpeg_audio.hpp"

namespace qv::sig {

namespace {

constexpr size_t max_frame_head = 4 + 2 + 32;  // header, CRC, side information
constexpr size_t max_first_frame = 2881;       // the longest Layer III frame (MPEG-2.5, 160 kbit/s at 8 kHz)
// The Xing or Info frame has no main data, and the first audio frame's may
// begin anywhere: from the third frame on, main data lie back to back.
constexpr uint64_t packed_from = 2;
// Frames from the one the break cut that must join up back to back: an
// encoder may leave a hole at its last frames.
constexpr int packed_across = 4;
// Frames in a row before the break that must be back to back for that to count.
constexpr uint64_t packed_before = 8;

// Walks frames from a file offset, keeping the bit reservoir's books.
struct frame_walk {
    mpeg_frame stream;      // the first frame: the ones after it match its version, layer and rate
    uint64_t x = 0;         // file offset of the next frame
    uint64_t frames = 0;    // frames walked, the Xing or Info frame included
    uint64_t payload = 0;   // payload bytes before the next frame: the reservoir's coordinate
    uint64_t main_end = 0;  // where the last frame's main data ended in it
    uint64_t packed = 0;    // frames in a row whose main data began where the last one's ended
    int bitrate = 0;        // the first audio frame's bitrate index
    bool bitrates_vary = false;

    // One more frame at x, read through v, ending at or before limit. False
    // when there is none, or when its main data overlap the last frame's, run
    // past its own payload or (with must_pack) leave a hole after the last's.
    bool step(const joined_view& v, uint64_t limit, bool must_pack, uint64_t* budget) {
        std::array<uint8_t, max_frame_head> h{};
        if (x + 4 > limit || !v.read(x, h.data(), 4)) return false;
        const auto f = mpeg_header(h.data());
        if (!f || f->layer != 3 || !f->same_stream(stream) || f->length > limit - x) return false;
        const size_t head = f->header_size() + f->side_info_size();
        if (f->length < head || !v.read(x + 4, h.data() + 4, head - 4)) return false;
        if (*budget < f->length) {
            *budget = 0;
            return false;
        }
        *budget -= f->length;
        const layer3_side side = layer3_side_info(*f, h.data() + f->header_size());
        const uint64_t own = f->length - head;
        if (side.main_data_begin > payload) return false;
        const uint64_t begin = payload - side.main_data_begin;
        if (frames >= packed_from) {
            if (begin < main_end) return false;
            const bool back_to_back = begin == main_end;
            if (must_pack && !back_to_back) return false;
            packed = back_to_back ? packed + 1 : 0;
        }
        if (begin + side.main_data_bytes > payload + own) return false;
        if (frames == 1) bitrate = f->bitrate_index;
        if (frames > 1 && f->bitrate_index != bitrate) bitrates_vary = true;
        main_end = begin + side.main_data_bytes;
        payload += own;
        x += f->length;
        ++frames;
        return true;
    }
};

struct mp3_layout {
    uint64_t audio = 0;      // file offset of the first frame (the Xing or Info frame)
    uint64_t audio_end = 0;  // file offset after the last frame, as the Xing or Info header says
    uint64_t frames = 0;     // frames from audio to audio_end, the Xing or Info frame included
    mpeg_frame first;
    std::optional<uint16_t> music_crc;  // of the frames after the first
};

std::optional<mp3_layout> read_layout(carve_input& in, uint64_t start, uint64_t limit) {
    const auto audio = id3v2_end(in, start, limit);
    if (!audio || *audio - start >= limit) return std::nullopt;
    std::array<uint8_t, max_first_frame> frame{};
    const size_t n = size_t(std::min<uint64_t>(frame.size(), start + limit - *audio));
    if (n < 4 || !in.read(*audio, frame.data(), 4)) return std::nullopt;
    const auto f = mpeg_header(frame.data());
    if (!f || f->length > n || !in.read(*audio, frame.data(), f->length)) return std::nullopt;
    const auto totals = xing_header(*f, frame.data(), f->length);
    if (!totals || totals->frames == 0 || totals->bytes <= f->length) return std::nullopt;
    mp3_layout l;
    l.audio = *audio - start;
    l.audio_end = l.audio + totals->bytes;
    l.frames = uint64_t(totals->frames) + 1;
    l.first = *f;
    l.music_crc = totals->music_crc;
    if (l.audio_end > limit) return std::nullopt;
    return l;
}

// The music CRC of the file's bytes [from, to); empty when they cannot be read or the budget is spent.
std::optional<uint16_t> music_crc(const joined_view& v, uint64_t from, uint64_t to, uint64_t* budget) {
    const joined_view counted{v.in, v.start, v.split, v.resume, budget};
    uint16_t crc = 0;
    if (!counted.each_piece(from, to - from, [&crc](const uint8_t* p, size_t n) { crc = mp3_music_crc(crc, p, n); }))
        return std::nullopt;
    return crc;
}

}  // namespace

bool mp3_shows_break(carve_input& in, uint64_t start, uint64_t size) {
    if (start >= in.length()) return false;
    const auto layout = read_layout(in, start, in.length() - start);
    return layout && size < layout->audio_end;
}

std::optional<joined_file> join_mp3(carve_input& in, uint64_t start, uint64_t limit, const join_limits& limits) {
    if (limits.cluster == 0 || start >= in.length()) return std::nullopt;
    limit = std::min(limit, in.length() - start);
    const auto layout = read_layout(in, start, limit);
    if (!layout) return std::nullopt;
    uint64_t budget = limits.max_checked_bytes;

    // The first piece as it lies: frames until one does not follow.
    const joined_view straight{in, start, ~uint64_t(0), 0};
    frame_walk walk;
    walk.stream = layout->first;
    walk.x = layout->audio;
    frame_walk before_last = walk;
    for (;;) {
        if ((walk.frames & 1023) == 0 && !in.keep_going()) return std::nullopt;
        const frame_walk before = walk;
        if (!walk.step(straight, layout->audio_end, false, &budget)) break;
        before_last = before;
        if (walk.x == layout->audio_end) return std::nullopt;  // whole
    }
    // Without a music CRC, and main data packed back to back up to the
    // break, nothing tells a right continuation from another file's frames.
    // (Encoders leave holes where the reservoir is full, at the start and end.)
    const bool packed = !layout->music_crc;
    if ((packed && before_last.packed < packed_before) || walk.frames < packed_from + 1 || budget == 0)
        return std::nullopt;
    // A constant-rate file's frames lie where those of another of its length
    // and rate do: without the music CRC nothing tells them apart.
    if (packed && !walk.bitrates_vary) return std::nullopt;

    // The break lies past the last frame's header that read right in place,
    // and at latest in the head of the frame that did not follow.
    const uint64_t from = start + before_last.x + 1, to = start + walk.x + max_frame_head;
    std::vector<uint64_t> breaks;  // device offsets
    for (uint64_t b = limits.boundary_from(from);
         b < to && b - start < layout->audio_end; b += limits.cluster)
        breaks.push_back(b);
    if (breaks.empty()) return std::nullopt;

    for (uint64_t k = 1; k <= limits.max_gap_clusters; ++k) {
        const uint64_t shift = k * limits.cluster;
        if (breaks.front() + shift >= in.length()) break;
        if (!in.keep_going()) return std::nullopt;
        std::optional<joined_file> found;
        for (const uint64_t b : breaks) {
            const uint64_t split = b - start, resume = b + shift;
            if (resume + (layout->audio_end - split) > in.length()) continue;
            const joined_view v{in, start, split, resume};
            frame_walk w = before_last;
            bool ok = true;
            for (int n = 0; ok && w.x < layout->audio_end; ++n)
                ok = w.step(v, layout->audio_end, packed && n < packed_across, &budget);
            if (ok && w.frames == layout->frames && layout->music_crc)
                ok = music_crc(v, layout->audio + layout->first.length, layout->audio_end, &budget) == *layout->music_crc;
            if (!ok || w.frames != layout->frames) {
                if (budget == 0 || in.stopped() || in.vanished()) return std::nullopt;
                continue;
            }
            // Two breaks in the same frame read alike: which is right cannot be told.
            if (found) return std::nullopt;
            const uint64_t tail = resume + (layout->audio_end - split);
            const uint64_t size = layout->audio_end + (end_tags_end(in, tail, in.length()) - tail);
            if (size > limit) continue;
            found = joined_file{{start, split}, {resume, size - split}};
        }
        if (found) return found;
    }
    return std::nullopt;
}

}  // namespace qv::sig
