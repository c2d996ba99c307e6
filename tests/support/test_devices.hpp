#pragma once
// Devices for tests: a drive with bad areas, and a medium that goes away
// part-way (qv::memory_device, bytes in memory, is in device_handle.hpp).

#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "devices/device_handle.hpp"

namespace qv {

// Fails every read that touches one of the byte ranges [first, end), like a
// drive with bad sectors; other reads are served from memory. Never writes.
// Reads may come from two threads at once (a scan splits its reads).
class failing_device final : public device_handle {
public:
    using range = std::pair<uint64_t, uint64_t>;
    failing_device(std::vector<uint8_t> bytes, std::vector<range> bad)
        : inner_(std::move(bytes)), bad_(std::move(bad)) {}
    int64_t read_at(uint64_t offset, void* buffer, size_t len) override;
    int64_t write_at(uint64_t, const void*, size_t) override { return -1; }
    uint64_t length() const override { return inner_.length(); }
    std::string path() const override { return "(failing memory)"; }
    // Reads asked for so far, failed ones included.
    std::atomic<int> reads{0};
    std::atomic<int> failed_reads{0};

private:
    memory_device inner_;
    std::vector<range> bad_;
};

// Serves reads from memory until `budget` bytes have been read in total; from
// then on every read fails and the medium reports itself gone, like a card
// pulled out during a scan.
class vanishing_device final : public device_handle {
public:
    vanishing_device(std::vector<uint8_t> bytes, uint64_t budget)
        : inner_(std::move(bytes)), budget_(budget) {}
    int64_t read_at(uint64_t offset, void* buffer, size_t len) override;
    int64_t write_at(uint64_t, const void*, size_t) override { return -1; }
    uint64_t length() const override { return inner_.length(); }
    std::string path() const override { return "(vanishing memory)"; }
    bool medium_present() const override { return !gone_; }
    bool gone() const { return gone_; }

private:
    memory_device inner_;
    uint64_t budget_;
    std::mutex mutex_;  // reads may come from two threads at once
    uint64_t served_ = 0;
    std::atomic<bool> gone_{false};
};

}  // namespace qv
