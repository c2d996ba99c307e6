#pragma once
// Files laid into an image in two pieces, and the bytes a join gives back:
// shared by the tests of the deep scan's joins.

#include <cstdint>
#include <optional>
#include <vector>

#include "sigscan/fragment_join.hpp"

namespace qv::test {

// An image holding a file in two pieces, and where they lie.
struct split_image {
    std::vector<uint8_t> image;
    qv::sig::file_piece first, second;
};

// The file at cluster 4 of an image of random bytes, cut `cut` bytes in (a
// cluster boundary), the rest after `gap_clusters` clusters of random bytes
// (or zeros), and three clusters of random bytes after it all.
split_image lay_in_two(const std::vector<uint8_t>& file, uint64_t cut, uint64_t gap_clusters, bool zero_gap,
                       uint64_t cluster);

// Whole files beside a two-piece one: `inside` two clusters into its gap,
// `after` at the first cluster past its second piece (the image grows to hold
// it). Where they were put: {inside, after}.
struct beside_offsets {
    uint64_t inside, after;
};
beside_offsets put_beside(split_image& s, const std::vector<uint8_t>& inside, const std::vector<uint8_t>& after,
                          uint64_t cluster);

// A joiner (join_png, join_zip...) run over an image held in memory, from the
// file's start to the image's end, within the given limits.
using joiner = std::optional<qv::sig::joined_file> (*)(qv::sig::carve_input&, uint64_t, uint64_t,
                                                      const qv::sig::join_limits&);
std::optional<qv::sig::joined_file> join_in(joiner join, const std::vector<uint8_t>& image, uint64_t start,
                                            const qv::sig::join_limits& limits);

// The bytes of a joined file: its first piece, then its second.
std::vector<uint8_t> assembled(const std::vector<uint8_t>& image, const qv::sig::joined_file& j);

}  // namespace qv::test
