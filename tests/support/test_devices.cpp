#include "tests/support/test_devices.hpp"

#include <algorithm>

namespace qv {

int64_t failing_device::read_at(uint64_t offset, void* buffer, size_t len) {
    ++reads;
    for (const auto& [first, end] : bad_) {
        if (len > 0 && offset < end && offset + len > first) {
            ++failed_reads;
            return -1;
        }
    }
    return inner_.read_at(offset, buffer, len);
}

int64_t vanishing_device::read_at(uint64_t offset, void* buffer, size_t len) {
    std::lock_guard lock(mutex_);
    if (gone_) return -1;
    if (served_ + len > budget_) {
        gone_ = true;
        return -1;
    }
    int64_t got = inner_.read_at(offset, buffer, len);
    if (got > 0) served_ += uint64_t(got);
    return got;
}

}  // namespace qv
