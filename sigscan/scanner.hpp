#pragma once
// The carving loop: reads a device in large blocks, tests each sector start (or
// every byte) against the configured headers and measures candidates by their rule.

#include <cstdint>
#include <functional>
#include <string_view>

#include "devices/device_handle.hpp"
#include "sigscan/config.hpp"
#include "sigscan/scan_gate.hpp"

namespace qv::sig {

struct scan_options {
    bool every_byte = false;            // test every offset instead of 512-byte boundaries
    size_t block_size = size_t(1) << 20;  // bytes read at a time
};

// type is NUL-terminated; offset and size are bytes on the device.
using found_fn = std::function<void(const char* type, uint64_t offset, uint64_t size)>;

enum class scan_end { finished, stopped };

// Reports each file once, in device order; a file found inside an earlier one
// is not reported. gate (may be null) supplies pause and stop and receives
// the scanned fraction, 1.0 when the scan finished.
scan_end scan_device(device_handle& device, const signature_config& config,
                     const scan_options& options, scan_gate* gate, const found_fn& found);

}  // namespace qv::sig
