#pragma once
// The one reader of a carving scan: the scanner's blocks and the size rules'
// random-access reads come from one forward stream kept in memory, so each byte
// crosses from the device once; reads far ahead go to a side window and are
// remembered, so the scanner does not read them again. Pause and stop honoured.

#include <cstddef>
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "devices/device_handle.hpp"
#include "devices/le_bytes.hpp"
#include "devices/tolerant_read.hpp"
#include "sigscan/pattern.hpp"
#include "sigscan/read_ahead.hpp"
#include "sigscan/scan_gate.hpp"

namespace qv::sig {

// Holds while the gate says paused; false once a stop was asked for.
// A null gate never pauses or stops.
inline bool scan_checkpoint(scan_gate* gate) { return !gate || gate->keep_going(); }

class carve_input {
public:
    static constexpr size_t window_size = size_t(1) << 20;
    // The forward stream: the scanner's block and what the rules read beyond
    // it, up to this much, stay in memory until the scanner has passed them.
    static constexpr size_t stream_capacity = size_t(32) << 20;
    // Once the scanner is this far into the stream and no more than the carry
    // lies ahead of it, what lies behind it is dropped and the rest moves to the front.
    static constexpr size_t stream_shift = size_t(512) << 10;
    static constexpr size_t stream_shift_carry = size_t(256) << 10;
    // With a read ahead, the block and the piece read ahead of it are moved
    // to the front once the scanner is this far in: the reads keep landing in
    // a few MiB the processor holds in its cache, not all over the stream.
    static constexpr size_t ahead_shift = size_t(2) << 20;
    // Reads shorter than this are not split: each half is at least half of it.
    static constexpr size_t split_min = size_t(256) << 10;
    static constexpr uint64_t npos = ~uint64_t(0);

    // Unreadable sectors read as zeros and go to bad (may be null). Reads the
    // stream in pieces of at least read_size bytes.
    carve_input(device_handle& device, scan_gate* gate, bad_ranges* bad = nullptr,
                size_t read_size = window_size);

    uint64_t length() const { return length_; }
    // From now on the stream's next piece is read on a thread of its own
    // while the scanner searches the block before it; on_piece (may be empty)
    // is called on that thread with each piece it read.
    void enable_read_ahead(read_ahead::piece_fn on_piece = {});
    // From now on (without a read ahead) a large read of the stream is split
    // in two, its second half read at the same time on a thread of its own:
    // where the scanner only tests sector starts, reading is nearly all the
    // work, and two processors copy from the system's cache faster than one.
    // Only with several processors, and only until a sector fails to read: a
    // failing drive is read one piece at a time, in order.
    void enable_split_reads();
    // How many reads ahead have finished: the pieces numbered below it (as
    // on_piece numbers them) are done with; the one numbered by it may be in flight.
    uint64_t pieces_finished() const { return ahead_ ? ahead_->finished() : 0; }
    // The scanner's next block: up to n bytes at start (shorter only at the
    // end of the device; empty when the device went away). Bytes before start
    // may be dropped. Views stay valid until the next load_block or pass_over.
    byte_view load_block(uint64_t start, size_t n);
    // The scanner goes past [from, to) without looking at it (inside a found
    // file): the bytes no read has met yet are read once, so that every
    // unreadable sector is met. False when the device went away.
    bool pass_over(uint64_t from, uint64_t to);

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
    // Reads the stream on to at least `to` (within its capacity), at least
    // min_read bytes at a time. False on an error or when the device went away.
    bool fill_stream(uint64_t to, size_t min_read);
    // Reads n bytes at off into the side window and notes them as read.
    bool read_side(uint64_t off, size_t n);
    // Takes in the read ahead in flight, if any: the stream grows by what it read.
    void settle();
    // Reads n bytes at off into out, split in two where that pays (see
    // enable_split_reads); *got as read_tolerant gives it.
    read_outcome read_stream(uint64_t off, uint8_t* out, size_t n, size_t* got);
    // Starts reading the stream's next piece ahead, where there is room and it
    // is space the device would read (not zeros it gives unread).
    void start_ahead();

    device_handle& device_;
    scan_gate* gate_;
    uint64_t length_;
    size_t read_size_;
    // Reads end on page boundaries of the device and land on page boundaries
    // of the stream, where the kernel copies fastest.
    static constexpr size_t page = 4096;
    struct aligned_delete {
        void operator()(uint8_t* p) const { ::operator delete[](p, std::align_val_t(page)); }
    };
    // Unreadable sectors met where the caller keeps no list of them: they end
    // the split reads all the same. Declared before the readers that add to it.
    bad_ranges own_bad_;
    std::unique_ptr<uint8_t[], aligned_delete> stream_;  // sized once: views into it stay put while a block is searched
    size_t stream_size_ = 0;
    uint64_t stream_start_ = 0;
    size_t stream_fill_ = 0;
    // Read into stream_ past stream_fill_: declared after it, so they end first.
    std::unique_ptr<read_ahead> ahead_;
    std::unique_ptr<read_ahead> split_;  // the second halves of split reads
    // A rule reading past the stream reads on by at least rule_step_: byte after
    // byte would cost a call each, a whole block more than a rule may need.
    static constexpr size_t rule_read_size = size_t(64) << 10;
    size_t rule_step_ = rule_read_size;
    std::map<uint64_t, uint64_t> side_read_;  // start -> end: side-window reads ahead of the stream
    std::vector<uint8_t> window_;
    uint64_t window_start_ = 0;
    size_t window_fill_ = 0;
    bool stopped_ = false;
    bool vanished_ = false;
    bad_ranges* bad_;  // the caller's list, or own_bad_

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
