#pragma once
// The bytes of a file found in two pieces, read as one run from the file's start.

#include <zlib.h>

#include <algorithm>
#include <cstdint>

#include "sigscan/carve_input.hpp"

namespace qv::sig {

// The bytes of a file in two pieces, addressed from the file's start: bytes
// before `split` lie at start + x, the rest at `resume` + (x - split).
struct joined_view {
    static constexpr uint64_t crc_piece = 64 * 1024;
    carve_input& in;
    uint64_t start;
    uint64_t split;   // file offset of the break
    uint64_t resume;  // device offset of the continuation
    uint64_t* budget = nullptr;  // bytes that may still be checksummed; null: no bound
    uint64_t device_of(uint64_t x) const { return x < split ? start + x : resume + (x - split); }
    bool read(uint64_t x, uint8_t* out, size_t n) const {
        while (n > 0) {
            const uint64_t run = x < split ? std::min<uint64_t>(n, split - x) : n;
            if (!in.read(device_of(x), out, size_t(run))) return false;
            x += run;
            out += run;
            n -= size_t(run);
        }
        return true;
    }
    // Hands the n bytes at x to f(data, size) in pieces, without copying them,
    // each piece counted against the budget; false when one cannot be read or
    // the budget does not cover them.
    template <class F>
    bool each_piece(uint64_t x, uint64_t n, F&& f) const {
        if (budget) {
            if (*budget < n) {
                *budget = 0;
                return false;
            }
            *budget -= n;
        }
        while (n > 0) {
            uint64_t run = std::min(n, crc_piece);
            if (x < split) run = std::min(run, split - x);
            const byte_view v = in.view(device_of(x), size_t(run));
            if (v.size() != run) return false;
            f(v.data(), size_t(run));
            x += run;
            n -= run;
        }
        return true;
    }
    bool crc(uint64_t x, uint64_t n, uint32_t* out) const {
        uLong sum = crc32(0, nullptr, 0);
        if (!each_piece(x, n, [&sum](const uint8_t* p, size_t k) { sum = crc32(sum, p, uInt(k)); })) return false;
        *out = uint32_t(sum);
        return true;
    }
};

}  // namespace qv::sig
