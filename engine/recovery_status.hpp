#pragma once
// How a read of a source ended and what one file's recovery came to: the one
// vocabulary every scanner, the window and the command line share.

#include <cstdint>
#include <string>

namespace qv {

// How reading ended.
enum class read_end : uint8_t {
    complete,     // everything asked for was read (bytes that could not be were counted)
    io_error,     // a read failed for good (offset says where)
    corrupt,      // a structure failed its checks (what says which and where)
    device_gone,  // the device went away
    stopped,      // a stop was asked for
};

// What one file's recovery came to.
struct recovery_status {
    read_end end = read_end::complete;
    bool destination_failed = false;  // the destination could not be written (the partial file is removed)
    int destination_errno = 0;        // why, where it is known
    uint64_t unreadable_bytes = 0;    // bytes written as zeros because they could not be read
    uint64_t offset = 0;              // io_error: byte offset on the volume, when known
    std::string what;                 // corrupt: which structure, in words

    // The file was written, whole or with zeros in parts.
    bool written() const { return end == read_end::complete && !destination_failed; }
    // Written, but not everything came back as it was.
    bool damaged() const { return written() && unreadable_bytes > 0; }

    static recovery_status done(uint64_t unreadable = 0) {
        recovery_status s;
        s.unreadable_bytes = unreadable;
        return s;
    }
    static recovery_status failed(read_end why, std::string what = {}, uint64_t offset = 0) {
        recovery_status s;
        s.end = why;
        s.what = std::move(what);
        s.offset = offset;
        return s;
    }
    static recovery_status destination(int error_number) {
        recovery_status s;
        s.destination_failed = true;
        s.destination_errno = error_number;
        return s;
    }
};

// "I/O error", "corrupt structure", ... for messages and logs.
const char* read_end_name(read_end end);
// One line for a failed recovery: "corrupt structure: MFT record 42", "I/O error at byte 4096", ...
std::string failure_text(const recovery_status& status);

}  // namespace qv
