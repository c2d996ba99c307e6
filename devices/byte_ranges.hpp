#pragma once
// Stretches of bytes on a volume, kept sorted and apart (a mask of what not to read).

#include <cstdint>
#include <vector>

namespace qv {

struct byte_range {
    uint64_t offset = 0;
    uint64_t length = 0;
    uint64_t end() const { return offset + length; }
    bool operator==(const byte_range&) const = default;
};

// Sorts the ranges and joins those that overlap or touch; empty ones go. A
// range whose end would pass 2^64 is cut there.
std::vector<byte_range> merged_ranges(std::vector<byte_range> ranges);
// The bytes the (merged) ranges cover.
uint64_t covered_bytes(const std::vector<byte_range>& merged);

}  // namespace qv
