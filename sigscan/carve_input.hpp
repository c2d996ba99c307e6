#pragma once
// Random-access reads for the size rules: served from the scan's current block
// when they fall inside it, else from a 1 MiB window, with pause and stop honoured.

#include <cstddef>
#include <array>
#include <cstdint>
#include <vector>

#include "devices/device_handle.hpp"
#include "devices/le_bytes.hpp"
#include "devices/tolerant_read.hpp"
#include "sigscan/pattern.hpp"
#include "sigscan/scan_gate.hpp"

namespace qv::sig {

// Holds while the gate says paused; false once a stop was asked for.
// A null gate never pauses or stops.
inline bool scan_checkpoint(scan_gate* gate) { return !gate || gate->keep_going(); }

class carve_input {
public:
    static constexpr size_t window_size = size_t(1) << 20;
    static constexpr uint64_t npos = ~uint64_t(0);

    // Unreadable sectors read as zeros and go to bad (may be null).
    carve_input(device_handle& device, scan_gate* gate, bad_ranges* bad = nullptr);

    uint64_t length() const { return length_; }
    // The scanner's current block; reads inside it cost no I/O.
    void set_block(const uint8_t* data, uint64_t start, size_t size);

    // Copies n bytes at off. False when any byte lies past the end of the
    // device, a read fails or the scan was stopped.
    bool read(uint64_t off, void* out, size_t n);
    // Up to n bytes (n at most window_size) at off: shorter only at the end of
    // the device, empty on an error or a stop. Valid until the next call.
    byte_view view(uint64_t off, size_t n);
    // First start p with from <= p and p + pattern.size() <= end where the pattern
    // matches, or npos. Repeated searches for one pattern reuse the last answer.
    uint64_t find(const byte_pattern& pattern, uint64_t from, uint64_t end);

    // Holds while paused; false (and stopped() true) once a stop was asked for.
    // Long computations call it between pieces of work.
    bool keep_going();

    // The answer of an earlier forward search, so that candidates lying one
    // after another do not search the same bytes again. A search under key and
    // tag from `from` found its first hit starting at found_start (ending at
    // found_end), or nothing in [from, searched_to) when found_start is npos.
    struct search_memo {
        const void* key = nullptr;
        uint64_t tag = 0;
        uint64_t from = 0;
        uint64_t searched_to = 0;
        uint64_t found_start = npos;
        uint64_t found_end = npos;
    };
    // The memo that answers a search from `from` that ends at end, or null.
    const search_memo* recall(const void* key, uint64_t tag, uint64_t from, uint64_t end) const;
    void remember(const search_memo& memo);

    // True once a stop request cut a rule short; the scan then ends.
    bool stopped() const { return stopped_; }
    // True once the device went away; the scan then ends.
    bool vanished() const { return vanished_; }

private:
    device_handle& device_;
    scan_gate* gate_;
    uint64_t length_;
    const uint8_t* block_ = nullptr;
    uint64_t block_start_ = 0;
    size_t block_size_ = 0;
    std::vector<uint8_t> window_;
    uint64_t window_start_ = 0;
    size_t window_fill_ = 0;
    bool stopped_ = false;
    bool vanished_ = false;
    bad_ranges* bad_ = nullptr;

    std::array<search_memo, 8> memos_{};
    size_t next_memo_ = 0;
};

// Big-endian fields, which many media formats use; 0 outside the view like byte_view's.
inline uint16_t be16(const byte_view& v, size_t off) {
    return v.has(off, 2) ? uint16_t(v.data()[off] << 8 | v.data()[off + 1]) : 0;
}
inline uint32_t be32(const byte_view& v, size_t off) {
    return v.has(off, 4) ? uint32_t(v.data()[off]) << 24 | uint32_t(v.data()[off + 1]) << 16 |
                               uint32_t(v.data()[off + 2]) << 8 | uint32_t(v.data()[off + 3])
                         : 0;
}
inline uint64_t be64(const byte_view& v, size_t off) {
    return v.has(off, 8) ? uint64_t(be32(v, off)) << 32 | be32(v, off + 4) : 0;
}

// a + b, or ~0 when it overflows, so sums of hostile fields compare as too large.
inline uint64_t sat_add(uint64_t a, uint64_t b) { return a > ~uint64_t(0) - b ? ~uint64_t(0) : a + b; }
inline uint64_t sat_mul(uint64_t a, uint64_t b) {
    return b != 0 && a > ~uint64_t(0) / b ? ~uint64_t(0) : a * b;
}

}  // namespace qv::sig
