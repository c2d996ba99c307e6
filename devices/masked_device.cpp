#include "devices/masked_device.hpp"

#include <algorithm>
#include <cstring>

namespace qv {

masked_device::masked_device(device_handle& inner, std::vector<byte_range> masked)
    : inner_(inner), masked_(merged_ranges(std::move(masked))) {}

uint64_t masked_device::unread_zeros_end(uint64_t offset) const {
    auto mask = std::upper_bound(masked_.begin(), masked_.end(), offset,
                                 [](uint64_t at, const byte_range& r) { return at < r.end(); });
    if (mask == masked_.end() || mask->offset > offset) return offset;
    return std::min(mask->end(), inner_.length());
}

int64_t masked_device::read_at(uint64_t offset, void* buffer, size_t len) {
    const uint64_t size = inner_.length();
    if (offset >= size || len == 0) return 0;
    const uint64_t want = std::min<uint64_t>(len, size - offset);
    auto* out = static_cast<uint8_t*>(buffer);
    // The first masked range that ends after offset.
    auto mask = std::upper_bound(masked_.begin(), masked_.end(), offset,
                                 [](uint64_t at, const byte_range& r) { return at < r.end(); });
    uint64_t done = 0;
    while (done < want) {
        const uint64_t at = offset + done;
        while (mask != masked_.end() && mask->end() <= at) ++mask;
        if (mask != masked_.end() && mask->offset <= at) {
            const uint64_t n = std::min(want - done, mask->end() - at);
            std::memset(out + done, 0, size_t(n));
            done += n;
            continue;
        }
        const uint64_t stop = mask == masked_.end() ? offset + want : std::min(offset + want, mask->offset);
        const uint64_t n = stop - at;
        const int64_t got = inner_.read_at(at, out + done, size_t(n));
        if (got < 0) return -1;
        done += uint64_t(got);
        if (uint64_t(got) < n) break;  // the inner device ended early
    }
    return int64_t(done);
}

}  // namespace qv
