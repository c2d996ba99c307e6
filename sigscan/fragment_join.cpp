#include "sigscan/fragment_join.hpp"

#include "sigscan/joined_view.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace qv::sig {

namespace {

constexpr uint64_t png_signature_size = 8;
constexpr uint64_t png_chunk_head = 8;      // length, type
constexpr uint64_t png_chunk_overhead = 12;  // length, type, CRC
constexpr uint32_t png_max_chunk = 0x7FFFFFFFu;

bool png_type_ok(const uint8_t* t) {
    for (int i = 0; i < 4; ++i) {
        const uint8_t c = t[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
    }
    return true;
}

struct chunk_walk {
    uint64_t end = 0;     // file offset after the last chunk that checked
    bool whole = false;   // reached IEND with every CRC right
};

// Walks chunks from file offset x while their CRCs check.
chunk_walk walk_chunks(const joined_view& v, uint64_t x, uint64_t limit) {
    chunk_walk w;
    w.end = x;
    while (x + png_chunk_overhead <= limit) {
        if (!v.in.keep_going()) return w;
        uint8_t h[png_chunk_head];
        if (!v.read(x, h, sizeof h) || !png_type_ok(h + 4)) return w;
        const uint32_t length = uint32_t(h[0]) << 24 | uint32_t(h[1]) << 16 | uint32_t(h[2]) << 8 | h[3];
        if (length > png_max_chunk || x + png_chunk_overhead + length > limit) return w;
        uint8_t stored[4];
        uint32_t sum = 0;
        if (!v.read(x + png_chunk_head + length, stored, 4) || !v.crc(x + 4, 4 + uint64_t(length), &sum)) return w;
        if (sum != (uint32_t(stored[0]) << 24 | uint32_t(stored[1]) << 16 | uint32_t(stored[2]) << 8 | stored[3]))
            return w;
        x += png_chunk_overhead + length;
        w.end = x;
        if (std::memcmp(h + 4, "IEND", 4) == 0) {
            w.whole = length == 0;
            return w;
        }
    }
    return w;
}

}  // namespace

std::optional<joined_file> join_png(carve_input& in, uint64_t start, uint64_t limit, const join_limits& limits) {
    static constexpr uint8_t signature[png_signature_size] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (limits.cluster == 0 || start >= in.length()) return std::nullopt;
    limit = std::min(limit, in.length() - start);
    uint8_t sig[png_signature_size];
    if (!in.read(start, sig, sizeof sig) || std::memcmp(sig, signature, sizeof sig) != 0) return std::nullopt;
    // The first piece as it lies: where its chunks stop checking.
    const joined_view straight{in, start, ~uint64_t(0), 0};
    const chunk_walk first = walk_chunks(straight, png_signature_size, limit);
    if (first.whole || first.end == png_signature_size) return std::nullopt;  // whole, or no IHDR
    // The break lies in the chunk that failed: at or after its start, before
    // its end as its length field says (or its header, when that is broken).
    const uint64_t broken = first.end;
    uint64_t broken_end = broken + png_chunk_head;
    bool next_known = false;  // where the chunk after the broken one begins is known
    uint8_t h[png_chunk_head];
    if (straight.read(broken, h, sizeof h) && png_type_ok(h + 4)) {
        const uint32_t length = uint32_t(h[0]) << 24 | uint32_t(h[1]) << 16 | uint32_t(h[2]) << 8 | h[3];
        if (length <= png_max_chunk) {
            broken_end = broken + png_chunk_overhead + length;
            next_known = std::memcmp(h + 4, "IEND", 4) != 0 && broken_end + png_chunk_overhead <= limit;
        }
    }
    broken_end = std::min(broken_end, limit);
    // Device offsets of the cluster boundaries where the break may lie: the
    // chunks before the broken one checked, so not before it.
    uint64_t budget = limits.max_checked_bytes;
    const uint64_t first_break = limits.boundary_from(start + broken);
    for (uint64_t k = 1; k <= limits.max_gap_clusters; ++k) {
        const uint64_t shift = k * limits.cluster;
        if (first_break + shift >= in.length()) break;
        if (!in.keep_going()) return std::nullopt;
        // Wherever the break lies in the broken chunk, the next chunk's header
        // then lies at the same place: a quick test of this gap before any CRC.
        if (next_known) {
            const uint64_t next = start + broken_end + shift;
            uint8_t n[png_chunk_head];
            if (next + png_chunk_head > in.length()) break;
            if (!in.read(next, n, sizeof n) || !png_type_ok(n + 4)) continue;
        }
        for (uint64_t b = first_break; b < start + broken_end; b += limits.cluster) {
            const uint64_t split = b - start, resume = b + shift;
            if (resume >= in.length()) break;
            // The rest may not run past the device or past the type's limit.
            const uint64_t rest_room = std::min<uint64_t>(in.length() - resume, limit - std::min(limit, split));
            const joined_view v{in, start, split, resume, &budget};
            const chunk_walk w = walk_chunks(v, broken, split + rest_room);
            if (w.whole) return joined_file{{start, split}, {resume, w.end - split}};
            if (in.stopped() || in.vanished() || budget == 0) return std::nullopt;
        }
    }
    return std::nullopt;
}

}  // namespace qv::sig
