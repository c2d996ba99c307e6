#pragma once
// Reads that go on past unreadable sectors: a failed read is tried again in
// 4 KiB pieces, the pieces that fail in 512-byte sectors, and sectors that
// still fail read as zeros and are remembered as unreadable.

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>

namespace qv {

class device_handle;

inline constexpr size_t tolerant_piece_bytes = 4096;
inline constexpr size_t tolerant_sector_bytes = 512;

// The unreadable byte ranges met so far, merged; safe to share between threads.
class bad_ranges {
public:
    void add(uint64_t offset, uint64_t length);
    // Bytes in all ranges.
    uint64_t total() const;
    // Bytes of [offset, offset + length) that lie in a range.
    uint64_t overlap(uint64_t offset, uint64_t length) const;
    size_t count() const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::map<uint64_t, uint64_t> ranges_;  // start -> end
    uint64_t total_ = 0;
};

// What one tolerant read met.
enum class read_outcome {
    whole,      // everything read (or zeros for unreadable sectors, noted in bad)
    vanished,   // the device has gone: nothing more will ever read
};

// Fills len bytes at offset of device; fewer only at its end (*filled says how
// many). Unreadable sectors become zeros and are added to bad (may be null).
read_outcome read_tolerant(device_handle& device, uint64_t offset, void* buffer, size_t len, size_t* filled,
                           bad_ranges* bad);

// True when errno after a failed read means the device is gone, not a bad sector.
bool device_gone(int error_number, const device_handle& device);

}  // namespace qv
