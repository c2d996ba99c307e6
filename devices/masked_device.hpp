#pragma once
// A device that reads through another one but gives zeros, without reading,
// for the masked ranges: the deep scan of free space only, at the volume's own offsets.

#include <vector>

#include "devices/byte_ranges.hpp"
#include "devices/device_handle.hpp"

namespace qv {

class masked_device final : public device_handle {
public:
    // masked: sorted ranges apart from each other (merged_ranges gives them).
    masked_device(device_handle& inner, std::vector<byte_range> masked);
    int64_t read_at(uint64_t offset, void* buffer, size_t len) override;
    int64_t write_at(uint64_t, const void*, size_t) override { return -1; }  // scanners never write
    uint64_t length() const override { return inner_.length(); }
    uint64_t base_offset() const override { return inner_.base_offset(); }
    std::string path() const override { return inner_.path(); }
    bool medium_present() const override { return inner_.medium_present(); }
    void expect_scattered_reads(bool scattered) override { inner_.expect_scattered_reads(scattered); }
    uint64_t unread_zeros_end(uint64_t offset) const override;
    const std::vector<byte_range>& masked() const { return masked_; }
    device_handle& inner() const { return inner_; }

private:
    device_handle& inner_;
    std::vector<byte_range> masked_;
};

}  // namespace qv
