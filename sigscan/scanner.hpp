#pragma once
// The carving loop: reads a device in large blocks, tests each sector start (or
// every byte) against the configured headers and measures candidates by their rule.

#include <cstdint>
#include <functional>
#include <string_view>

#include "devices/device_handle.hpp"
#include "devices/tolerant_read.hpp"
#include "sigscan/config.hpp"
#include "sigscan/scan_gate.hpp"

namespace qv::sig {

// A file found in two pieces: type NUL-terminated, each piece's offset and size on the device.
using joined_fn = std::function<void(const char* type, uint64_t first_offset, uint64_t first_size,
                                     uint64_t second_offset, uint64_t second_size)>;

// A place in a scan to go on from.
struct scan_place {
    uint64_t position = 0;      // the next block read begins here
    uint64_t search_from = 0;   // files are looked for from here (past the last file found)
    uint64_t reported_end = 0;  // end of the last file reported; no file may begin before it
};

struct scan_options {
    bool every_byte = false;            // test every offset instead of 512-byte boundaries
    // Every byte: search all headers at once with Vectorscan where it is at
    // hand (false: the scanner's own byte-pair table, as without it).
    bool multi_pattern = true;
    // Every byte: the byte-pair table tests 64 positions at a time where the
    // processor has AVX2, and is then used before Vectorscan (it is faster).
    bool vector_pairs = true;
    size_t block_size = size_t(1) << 20;  // bytes read at a time
    // At sector starts, each block is read in two halves on two threads at
    // once where there are several processors (false: one read on this thread).
    bool split_reads = true;
    // Where the scan begins: the start, or a place an earlier scan's at_block gave.
    scan_place start;
    // Called before each block: a scan started at that place goes on exactly
    // as this one would; every file that starts before search_from has been reported.
    std::function<void(const scan_place& place)> at_block;
    // Unreadable sectors are read as zeros and added here (may be null).
    bad_ranges* bad = nullptr;
    // Files whose structure breaks at a cluster boundary (PNG, JPEG, ZIP, MP4) are joined
    // with the continuation that checks whole, within join_reach bytes past
    // the break, and reported here; null: they are not looked for.
    joined_fn joined;
    // The volume's allocation unit in bytes; 0 when unknown (4 KiB steps).
    uint64_t cluster = 0;
    uint64_t join_reach = uint64_t(16) << 20;
};

// type is NUL-terminated; offset and size are bytes on the device.
using found_fn = std::function<void(const char* type, uint64_t offset, uint64_t size)>;

// vanished: the device went away; what was found before stays.
enum class scan_end { finished, stopped, vanished };

// Reports each file once, in device order; a file found inside an earlier one
// is not reported. A block that cannot be read is read again in smaller pieces
// and its bad sectors taken as zeros. gate (may be null) supplies pause and stop and receives
// the scanned fraction, 1.0 when the scan finished.
scan_end scan_device(device_handle& device, const signature_config& config,
                     const scan_options& options, scan_gate* gate, const found_fn& found);

}  // namespace qv::sig
