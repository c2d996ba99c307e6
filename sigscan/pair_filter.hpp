#pragma once
// The every-byte search for the byte pairs headers are dispatched on: where the
// processor has AVX2, 64 positions at a time are first tested against the
// nibbles of the pairs and of the byte that follows them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qv::sig {

// What a search found in part of a volume, ahead of the scanner.
struct pair_hits {
    uint64_t from = 0, to = 0;  // the positions searched, absolute
    std::vector<uint32_t> at;   // those found, counted from `from`, in order
};

// The pairs' three-byte prefixes are spread over sixteen buckets; a bucket's
// bytes are kept as the nibbles they are made of, so a vector of positions is
// tested with table look-ups (vpshufb). That test lets through every prefix of
// a bucket and some others (made of nibbles of different prefixes in one
// bucket); what passes is looked up in the pair set itself.
class pair_filter {
public:
    // The set as the scanner keeps it: bit a << 8 | b for the pair (a, b).
    using pair_set = std::array<uint64_t, 1024>;
    // Three bytes a pair of the set begins: any value where a byte is not fixed.
    struct prefix {
        std::array<uint8_t, 3> bytes{};
        std::array<bool, 3> fixed{};
    };

    pair_filter() = default;
    // Every pair of the set must begin one of the prefixes (with a byte not
    // fixed where the set holds a first byte with any second).
    pair_filter(const pair_set& pairs, const std::vector<prefix>& prefixes);

    // True when the processor runs the vector test (x86-64 with AVX2).
    bool vector() const { return vector_; }

    // Where the last search stopped: the 64 positions it tested last and
    // which of them passed, so that a search from just after a find goes on
    // from there. One for each buffer searched, made anew when its bytes change.
    struct cursor {
        const uint8_t* data = nullptr;
        size_t window = ~size_t(0);
        uint64_t bits = 0;
    };

    // The first j in [from, to) whose pair (data[j], data[j + 1]) is in the set
    // and whose next byte may follow it; to when there is none. data holds at
    // least to + 1 bytes. at (may be null) is the cursor of data.
    size_t next(const uint8_t* data, size_t from, size_t to, cursor* at = nullptr) const;

    // Every position next() stops at in [0, to), in order, into out (cleared first).
    void find_all(const uint8_t* data, size_t to, std::vector<uint32_t>& out) const;

    // The share of all three-byte strings the vector test lets through.
    double pass_rate() const;

    static constexpr size_t bucket_sets = 2;  // of eight buckets, one bit each

private:
    // Whole vectors of 64 from j: the first position found, or the first one
    // not tested (fewer than 65 were left before to).
    size_t next_vector(const uint8_t* data, size_t j, size_t to, cursor* at) const;
    bool in_set(const uint8_t* at) const {
        const unsigned pair = unsigned(at[0]) << 8 | at[1];
        return (pairs_[pair >> 6] >> (pair & 63)) & 1;
    }

    // tables_[s][2 * k]: for byte k of the prefix, bit b set at a low nibble
    // value that byte has in a prefix of bucket 8 * s + b; tables_[s][2 * k + 1]
    // the same for high nibbles.
    struct alignas(16) nibble_table {
        std::array<uint8_t, 16> bits{};
    };
    std::array<std::array<nibble_table, 6>, bucket_sets> tables_{};
    pair_set pairs_{};
    bool vector_ = false;
};

}  // namespace qv::sig
