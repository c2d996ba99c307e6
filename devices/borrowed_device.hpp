#pragma once
// A device handle that reads through another one the caller keeps open: lets a
// core that wants to own its device work on a device it is only lent.

#include "devices/device_handle.hpp"

namespace qv {

class borrowed_device final : public device_handle {
public:
    explicit borrowed_device(device_handle& inner) : inner_(inner) {}
    int64_t read_at(uint64_t offset, void* buffer, size_t len) override { return inner_.read_at(offset, buffer, len); }
    int64_t write_at(uint64_t, const void*, size_t) override { return -1; }  // scanners never write
    uint64_t length() const override { return inner_.length(); }
    uint64_t base_offset() const override { return inner_.base_offset(); }
    std::string path() const override { return inner_.path(); }
    bool medium_present() const override { return inner_.medium_present(); }
    void expect_scattered_reads(bool scattered) override { inner_.expect_scattered_reads(scattered); }
    // The device it reads through (a check that a path is the source looks there).
    device_handle& inner() const { return inner_; }

private:
    device_handle& inner_;
};

}  // namespace qv
