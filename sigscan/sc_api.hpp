#pragma once
// The signature-scanning library's calls: load the file-type configuration,
// carve a device with a found-file callback, and read a device raw.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "devices/tolerant_read.hpp"
#include "sigscan/scanner.hpp"

namespace qv {

// Called once per found file, on the thread that called sc_scan, before sc_scan
// returns. type is NUL-terminated; offset and size are bytes on the device.
using sc_found_fn = void (*)(void* owner, const char* type, uint64_t offset, uint64_t size);

// A device opened for raw reads by sc_open.
struct sc_device;
using sc_handle = sc_device*;

}  // namespace qv

// The scan's shared state, 32 bytes. The engine fills owner and found before the
// scan; the library writes scanned; the interface thread writes paused and stop.
// Use the sc_context_* accessors below from more than one thread.
struct sc_context_s {
    void* owner = nullptr;            // handed back as the callback's first argument
    double scanned = 0.0;             // fraction of the device scanned, 0.0 to 1.0
    int32_t paused = 0;               // nonzero: the scan holds
    int32_t stop = 0;                 // nonzero: the scan ends soon
    qv::sc_found_fn found = nullptr;  // may be null: nothing is reported
};
static_assert(sizeof(sc_context_s) == 32);
static_assert(offsetof(sc_context_s, owner) == 0);
static_assert(offsetof(sc_context_s, scanned) == 8);
static_assert(offsetof(sc_context_s, paused) == 16);
static_assert(offsetof(sc_context_s, stop) == 20);
static_assert(offsetof(sc_context_s, found) == 24);

// Loads the configuration from path; a relative path that does not exist is
// looked for again in the data directory and the executable's folder.
// 0 when a file was loaded; -1 when none could be, and the built-in types apply.
int32_t sc_load_config(const char* path);

// Carves the device (any drive or volume path of the device catalog).
// 0 when the whole device was scanned, 1 when stopped, -1 when it cannot be opened.
int32_t sc_scan(sc_context_s* context, const char* device_path);

// Raw reads of a device, opened read-only. sc_open gives null on failure.
qv::sc_handle sc_open(const char* device_path);
// whence 0: from the start, 1: from the current position, 2: from the end.
// The new position, or -1 when it would lie outside the device.
int64_t sc_seek(qv::sc_handle handle, uint64_t offset, int32_t whence);
// Bytes placed in buffer: up to wanted, 0 at the end of the device, -1 on an error.
int32_t sc_read(qv::sc_handle handle, void* buffer, int32_t wanted);
void sc_close(qv::sc_handle handle);

namespace qv {

// sc_scan_ex flags.
inline constexpr uint32_t sc_scan_every_byte = 1;  // test every byte offset, not only sector starts

// sc_scan with flags.
int32_t sc_scan_ex(sc_context_s* context, const char* device_path, uint32_t flags);

// A scan that starts where an earlier one stopped and reports what it met
// besides files. In: start and at_block (see qv::sig::scan_options). Out:
// the unreadable sectors (read as zeros) and whether the device went away.
struct sc_scan_state {
    qv::sig::scan_place start;
    std::function<void(const qv::sig::scan_place& place)> at_block;
    qv::bad_ranges bad;
    std::atomic<bool> vanished{false};
};
// As sc_scan_ex; 2 when the device went away during the scan (what was found stays).
int32_t sc_scan_with(sc_context_s* context, const char* device_path, uint32_t flags, sc_scan_state* state);

// Length of the device in bytes (0 for a null handle).
uint64_t sc_length(sc_handle handle);

// Race-free access to the fields that two threads share.
double sc_context_scanned(const sc_context_s& context);
void sc_context_set_scanned(sc_context_s& context, double value);
int32_t sc_context_paused(const sc_context_s& context);
void sc_context_set_paused(sc_context_s& context, int32_t value);
int32_t sc_context_stop(const sc_context_s& context);
void sc_context_set_stop(sc_context_s& context, int32_t value);

}  // namespace qv
