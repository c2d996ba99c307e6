#include "devices/byte_ranges.hpp"

#include <algorithm>

namespace qv {

std::vector<byte_range> merged_ranges(std::vector<byte_range> ranges) {
    for (byte_range& r : ranges)
        if (r.length > UINT64_MAX - r.offset) r.length = UINT64_MAX - r.offset;
    std::erase_if(ranges, [](const byte_range& r) { return r.length == 0; });
    std::sort(ranges.begin(), ranges.end(), [](const byte_range& a, const byte_range& b) { return a.offset < b.offset; });
    std::vector<byte_range> out;
    for (const byte_range& r : ranges) {
        if (!out.empty() && r.offset <= out.back().end()) {
            out.back().length = std::max(out.back().end(), r.end()) - out.back().offset;
            continue;
        }
        out.push_back(r);
    }
    return out;
}

uint64_t covered_bytes(const std::vector<byte_range>& merged) {
    uint64_t total = 0;
    for (const byte_range& r : merged) total += r.length;
    return total;
}

}  // namespace qv
