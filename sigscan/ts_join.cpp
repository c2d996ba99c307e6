// MPEG transport streams (and the 192-byte packets of M2TS) found in two
// pieces. Packet headers alone cannot tell a right continuation: a piece of
// another recording from the same camera has the same streams, the same clock
// and the same packets per second. So a continuation is taken only when the
// packet cut by the break ends where the next sync byte lies, every stream's
// continuity counter follows on over the next 256 packets, the clock moves on
// by no more than twice its longest step before, the first video frame past
// the break is stamped exactly one frame step after the last before it, and
// the video decodes without damage from the last key frame before the break
// through two whole frames after it; and only when one place in the nearest
// cluster does so.

#include "sigscan/fragment_join.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "sigscan/joined_view.hpp"
#include "sigscan/transport_stream.hpp"
#include "sigscan/video_decode.hpp"

namespace qv::sig {

namespace {

constexpr size_t packet_bytes = ts_packet_bytes;
constexpr uint64_t pcr_per_second = 27000000;
constexpr size_t packets_checked = 256;  // past the break, whose counters must follow on...
constexpr size_t packets_at_least = 16;  // ... unless the stream ends, but not before these
constexpr size_t frames_after = 2;       // whole frames past the break that must decode
constexpr size_t max_frames = 600;       // from the key frame; a longer run is not decoded
constexpr size_t max_video_bytes = size_t(64) << 20;  // nor one of more bytes
constexpr uint64_t new_streams_window = 512;  // packets in which streams the PMT does not list may appear

constexpr uint64_t stamp_wrap = uint64_t(1) << 33;  // 90 kHz stamps count modulo this

// The streams' continuity counters, the clock and the video's decode stamps,
// as a walk meets the packets.
struct stream_state {
    // Stream -> last continuity counter, kept flat: the walk keeps a copy of
    // the state before each packet.
    static constexpr size_t max_streams = 32;
    std::array<uint16_t, max_streams> pids{};
    std::array<uint8_t, max_streams> counters{};
    size_t streams = 0;
    bool has_pcr = false;
    uint64_t pcr = 0;  // the last clock reference
    // The last video frame's decode stamp, and the step from the one before.
    std::optional<uint64_t> stamp;
    uint64_t step = 0;

    // Takes in a packet; false when its counter does not follow on, or when
    // its stream is new and not allowed to be.
    bool take(const ts_header& h, bool allow_new) {
        if (h.pid == ts_null_pid) return true;
        const size_t i = size_t(std::find(pids.begin(), pids.begin() + std::ptrdiff_t(streams), h.pid) - pids.begin());
        if (i == streams) {
            if (!allow_new || streams == max_streams) return false;
            pids[streams] = h.pid;
            counters[streams++] = uint8_t(h.counter);
            return true;
        }
        const int last = counters[i], expected = h.payload ? (last + 1) & 15 : last;
        // A repeated packet keeps its counter.
        if (!h.discontinuity && h.counter != expected && h.counter != last) return false;
        counters[i] = uint8_t(h.counter);
        return true;
    }
};

// True when the video payload opens a frame a decoder may start at: the packet
// says so, or the frame carries its sequence parameters.
bool starts_key_frame(const uint8_t* p, const ts_header& h, video_coding coding) {
    if (h.random_access) return true;
    for (size_t i = h.payload_at; i + 4 < packet_bytes; ++i) {
        if (p[i] != 0 || p[i + 1] != 0 || p[i + 2] != 1) continue;
        const unsigned type = coding == video_coding::h264 ? p[i + 3] & 0x1F : (p[i + 3] >> 1) & 0x3F;
        if (type == (coding == video_coding::h264 ? 7u : 33u)) return true;
    }
    return false;
}

// The decode stamp (or presentation stamp, where the two are one) of the PES
// packet that starts in this packet; empty without one.
std::optional<uint64_t> pes_stamp(const uint8_t* p, const ts_header& h) {
    const size_t at = h.payload_at;
    if (!h.unit_start || at + 19 > packet_bytes || p[at] != 0 || p[at + 1] != 0 || p[at + 2] != 1) return std::nullopt;
    const unsigned flags = p[at + 7] >> 6;
    if (flags < 2) return std::nullopt;
    const uint8_t* s = p + at + (flags == 3 ? 14 : 9);
    return (uint64_t(s[0] >> 1) & 7) << 30 | uint64_t(s[1]) << 22 | uint64_t(s[2] >> 1) << 15 | uint64_t(s[3]) << 7 |
           uint64_t(s[4] >> 1);
}

// The elementary stream bytes of a video packet: after the PES header where one starts.
std::optional<std::pair<size_t, size_t>> video_bytes(const uint8_t* p, const ts_header& h) {
    if (!h.payload) return std::pair<size_t, size_t>{packet_bytes, packet_bytes};
    size_t at = h.payload_at;
    if (h.unit_start) {
        if (at + 9 > packet_bytes || p[at] != 0 || p[at + 1] != 0 || p[at + 2] != 1) return std::nullopt;
        at += 9 + p[at + 8];
        if (at > packet_bytes) return std::nullopt;
    }
    return std::pair{at, size_t(packet_bytes)};
}

// The first piece as it lies, walked packet by packet.
struct first_piece {
    uint64_t end = 0;        // file offset of the first packet that does not follow
    uint64_t key = ~uint64_t(0);  // file offset of the last key frame's first packet
    ts_program video;
    uint64_t pcr_gap = 0;    // the longest the clock went between two references
    // The streams' state before each of the last two packets walked (the
    // break may lie in either), with their offsets.
    std::array<stream_state, 2> before{};
    std::array<uint64_t, 2> before_at{~uint64_t(0), ~uint64_t(0)};
};

std::optional<first_piece> walk_first(carve_input& in, uint64_t start, uint64_t limit, const ts_layout& l,
                                      uint64_t* budget) {
    first_piece f;
    stream_state state;
    std::array<uint8_t, packet_bytes> p{};
    uint64_t count = 0;
    for (uint64_t x = 0; x + l.packet <= limit; x += l.packet) {
        if (*budget < l.packet) return std::nullopt;
        *budget -= l.packet;
        if ((++count & 4095) == 0 && !in.keep_going()) return std::nullopt;
        const auto h = in.read(start + x + l.sync_at, p.data(), packet_bytes) ? read_ts_header(p.data()) : std::nullopt;
        f.before[0] = f.before[1];
        f.before_at[0] = f.before_at[1];
        f.before[1] = state;
        f.before_at[1] = x;
        if (h) f.video.learn(p.data(), *h);
        if (!h || !state.take(*h, count <= new_streams_window || f.video.lists(h->pid))) {
            f.end = x;
            return f;
        }
        if (h->has_pcr && h->pid == f.video.pcr_pid) {
            if (state.has_pcr && h->pcr > state.pcr) f.pcr_gap = std::max(f.pcr_gap, h->pcr - state.pcr);
            state.has_pcr = true;
            state.pcr = h->pcr;
        }
        if (h->pid == f.video.video_pid) {
            if (const auto stamp = pes_stamp(p.data(), *h)) {
                state.step = state.stamp ? (*stamp + stamp_wrap - *state.stamp) % stamp_wrap : 0;
                state.stamp = stamp;
            }
        }
        if (h->pid == f.video.video_pid && h->unit_start && starts_key_frame(p.data(), *h, f.video.coding)) f.key = x;
    }
    return std::nullopt;  // whole to the limit
}

// Whether the two pieces joined at split (the rest at resume) carry on: the
// packets across and after the break follow on from `before`, the state before
// the packet at `from` (the one the break cuts), and the video decodes from the key frame through
// frames_after whole frames past the break. *end: where the joined stream's
// packets stop following on.
bool continues(carve_input& in, uint64_t start, uint64_t limit, const ts_layout& l, const first_piece& f,
               const stream_state& before, uint64_t from, uint64_t split, uint64_t resume, uint64_t* budget,
               uint64_t* end) {
    const joined_view v{in, start, split, resume};
    std::array<uint8_t, packet_bytes> p{};
    // Cheap first: the sync bytes of the next few packets past the break.
    for (uint64_t x = from, n = 0; n < 4 && x + l.packet <= limit; x += l.packet, ++n) {
        if (x + l.sync_at < split) continue;
        if (!v.read(x + l.sync_at, p.data(), 1) || p[0] != ts_sync_byte) return false;
    }
    // The counters and the clock, over the packets past the break.
    stream_state state = before;
    bool pcr_checked = false, video_seen = false;
    uint64_t x = from;
    for (size_t n = 0; n < packets_checked && x + l.packet <= limit; ++n, x += l.packet) {
        if (*budget < l.packet) return false;
        *budget -= l.packet;
        const auto h = v.read(x + l.sync_at, p.data(), packet_bytes) ? read_ts_header(p.data()) : std::nullopt;
        // Where no packet follows, the stream has ended; a packet out of step has not.
        if (!h) {
            if (x < split + packets_at_least * l.packet) return false;
            break;
        }
        if (!state.take(*h, f.video.lists(h->pid))) return false;
        video_seen = video_seen || h->pid == f.video.video_pid;
        if (h->has_pcr && h->pid == f.video.pcr_pid && !pcr_checked) {
            // No further on than twice the longest step the first piece took.
            const uint64_t most = std::min(2 * std::max(f.pcr_gap, pcr_per_second / 10), pcr_per_second);
            if (state.has_pcr && (h->pcr <= state.pcr || h->pcr - state.pcr > most)) return false;
            pcr_checked = true;
        }
    }
    if (!video_seen) return false;
    // The video: frames from the key frame, each the payload of the packets
    // from one unit start to the next.
    std::vector<std::vector<uint8_t>> frames;
    size_t frames_past = 0;  // frames begun at or after `from`
    size_t held = 0;         // bytes of video in frames
    bool video_past = false;  // a video packet at or after `from` met
    bool complete = false;
    for (uint64_t y = f.key;; y += l.packet) {
        if (frames.size() > max_frames) return false;
        const auto h = y + l.packet <= limit && *budget >= l.packet && v.read(y + l.sync_at, p.data(), packet_bytes)
                           ? read_ts_header(p.data())
                           : std::nullopt;
        if (!h) {
            // The stream ends: its last frame with it.
            complete = *budget >= l.packet && y > from && frames_past >= frames_after;
            break;
        }
        *budget -= l.packet;
        if (h->pid != f.video.video_pid) continue;
        // The frame open at the break must go on past it: a frame made of
        // both pieces is what the decoder checks. A break between two frames
        // leaves nothing to check but the stamps, which another recording
        // with the same settings can match.
        if (y >= from && !video_past) {
            video_past = true;
            if (h->unit_start) return false;
        }
        if (h->unit_start) {
            // The first frame begun past the break is the one that follows the
            // last before it: its decode stamp one step on, exactly.
            if (y >= from && frames_past == 0) {
                const auto stamp = pes_stamp(p.data(), *h);
                if (!stamp || !before.stamp || before.step == 0 || *stamp != (*before.stamp + before.step) % stamp_wrap)
                    return false;
            }
            if (y >= from && ++frames_past > frames_after) {
                complete = true;
                break;
            }
            frames.emplace_back();
        }
        const auto bytes = video_bytes(p.data(), *h);
        if (!bytes || frames.empty() || (held += bytes->second - bytes->first) > max_video_bytes) return false;
        frames.back().insert(frames.back().end(), p.begin() + std::ptrdiff_t(bytes->first),
                             p.begin() + std::ptrdiff_t(bytes->second));
    }
    if (!complete || frames.empty()) return false;
    const bool clean = video_units_decode(
        f.video.coding, frames.size(),
        [&](size_t i, std::vector<uint8_t>& out) {
            out.swap(frames[i]);  // each frame is asked for once
            return true;
        },
        [&] { return in.keep_going(); });
    if (!clean) return false;
    // Where the packets stop following on: the second piece's end.
    for (; x + l.packet <= limit; x += l.packet) {
        if ((x / l.packet & 4095) == 0 && !in.keep_going()) return false;
        const auto h = v.read(x + l.sync_at, p.data(), packet_bytes) ? read_ts_header(p.data()) : std::nullopt;
        if (!h || !state.take(*h, f.video.lists(h->pid))) break;
    }
    *end = x;
    return true;
}

}  // namespace

bool ts_shows_break(carve_input& in, uint64_t start, uint64_t size, const join_limits& limits) {
    if (limits.cluster == 0 || start >= in.length()) return false;
    const auto l = ts_layout_at(in, start);
    if (!l || size < 2 * l->packet) return false;
    // A cluster boundary within a packet of where the packets stop.
    const uint64_t end = start + size;
    return limits.boundary_from(end - l->packet + 1) < end + l->packet;
}

std::optional<joined_file> join_ts(carve_input& in, uint64_t start, uint64_t limit, const join_limits& limits) {
    if (limits.cluster == 0 || start >= in.length() || !video_decoding_available()) return std::nullopt;
    limit = std::min(limit, in.length() - start);
    const auto l = ts_layout_at(in, start);
    if (!l) return std::nullopt;
    uint64_t budget = limits.max_checked_bytes;
    const auto f = walk_first(in, start, limit, *l, &budget);
    if (!f || f->video.video_pid == ts_null_pid || f->key == ~uint64_t(0)) return std::nullopt;

    // The break: a cluster boundary within the packet that did not follow or
    // the one before it (whose tail it may have cut).
    struct place {
        uint64_t split;  // file offset of the break
        size_t state;    // index into before: the state before the packet it cuts
    };
    std::vector<place> breaks;
    for (size_t i = 0; i < 2; ++i) {
        const uint64_t at = f->before_at[i];
        if (at == ~uint64_t(0) || at <= f->key) continue;
        // Boundaries b with at <= b - start < at + packet: the packet at `at` is the one cut.
        for (uint64_t b = limits.boundary_from(start + at); b < start + at + l->packet; b += limits.cluster)
            breaks.push_back({b - start, i});
    }
    if (breaks.empty()) return std::nullopt;

    for (uint64_t k = 1; k <= limits.max_gap_clusters; ++k) {
        const uint64_t shift = k * limits.cluster;
        if (start + breaks.front().split + shift >= in.length()) break;
        if (!in.keep_going()) return std::nullopt;
        std::optional<joined_file> found;
        for (const place& b : breaks) {
            const uint64_t resume = start + b.split + shift;
            if (resume >= in.length()) continue;
            const uint64_t room = std::min(limit, b.split + (in.length() - resume));
            uint64_t end = 0;
            if (!continues(in, start, room, *l, *f, f->before[b.state], f->before_at[b.state], b.split, resume, &budget,
                           &end)) {
                if (budget == 0 || in.stopped() || in.vanished()) return std::nullopt;
                continue;
            }
            if (end <= b.split) continue;
            // Two places in one packet read alike: which is right cannot be told.
            if (found) return std::nullopt;
            found = joined_file{{start, b.split}, {resume, end - b.split}, l->packet == ts_packet_bytes ? "" : "m2ts"};
        }
        if (found) return found;
    }
    return std::nullopt;
}

}  // namespace qv::sig
