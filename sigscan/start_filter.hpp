#pragma once
// A first test of sector starts against every header at once, from the first
// eight bytes of each start.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "sigscan/config.hpp"

namespace qv::sig {

// Each header has a pair of fixed bytes at one of a few positions within its
// first eight, and each position a table of the pairs its headers hold there:
// a start the filter turns down starts no header; one it lets pass is tested in full.
class start_filter {
public:
    static constexpr size_t word_bytes = 8;

    start_filter() = default;
    // Empty (no test) when a header has no two fixed bytes side by side in its
    // first eight, or the headers need more than four positions.
    explicit start_filter(const signature_config& config);

    bool empty() const { return count_ == 0; }

    // The first i in [from, to), stepping by step, that the filter lets pass;
    // to when there is none. data holds at least to - 1 + word_bytes bytes.
    size_t next(const uint8_t* data, size_t from, size_t to, size_t step) const {
        switch (count_) {
            case 1:
                return next_of<1>(data, from, to, step);
            case 2:
                return next_of<2>(data, from, to, step);
            case 3:
                return next_of<3>(data, from, to, step);
            default:
                return next_of<4>(data, from, to, step);
        }
    }

private:
    static constexpr size_t max_positions = 4;

    // With the number of positions fixed, the loop keeps all it needs in registers.
    template <size_t N>
    size_t next_of(const uint8_t* data, size_t from, size_t to, size_t step) const {
        std::array<unsigned, N> shifts;
        std::array<const uint64_t*, N> tables;
        for (size_t k = 0; k < N; ++k) {
            shifts[k] = shifts_[k];
            tables[k] = tables_[k].data();
        }
        for (size_t i = from; i < to; i += step) {
            uint64_t w;
            std::memcpy(&w, data + i, word_bytes);
            if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
            uint64_t hit = 0;
            for (size_t k = 0; k < N; ++k) {
                const unsigned pair = unsigned(w >> shifts[k]) & 0xFFFF;
                hit |= tables[k][pair >> 6] >> (pair & 63);
            }
            if (hit & 1) return i;
        }
        return to;
    }

    // The index of the position pos among those tested, or count_.
    size_t index_of(size_t pos) const;

    size_t count_ = 0;
    std::array<unsigned, max_positions> shifts_{};  // the position's bit offset in the word
    std::array<std::array<uint64_t, 1024>, max_positions> tables_{};  // 65536 bits: pairs there
};

}  // namespace qv::sig
