// The Quorvane.conf parser, and a short carve with whatever it accepted, so
// odd headers (all wildcards, one byte, very long) meet the scanner too.

#include <string>
#include <string_view>
#include <vector>

#include "devices/device_handle.hpp"
#include "fuzz/fuzz_support.hpp"
#include "fuzz/fuzz_targets.hpp"
#include "sigscan/config.hpp"
#include "sigscan/scanner.hpp"

namespace qv::fuzz {

namespace {

constexpr size_t carve_bytes = 16 * 1024;
constexpr size_t max_types_carved = 64;

}  // namespace

int signature_config(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    auto config = sig::parse_config(text, &error);
    if (!config) {
        QV_FUZZ_CHECK(!error.empty());
        return 0;
    }
    for (const auto& t : config->types) {
        QV_FUZZ_CHECK(!t.name.empty() && t.name.size() <= 16);
        QV_FUZZ_CHECK(!t.headers.empty() && t.max_size >= 1);
        for (const auto& h : t.headers) QV_FUZZ_CHECK(!h.empty());
        // What parse reads back from its own text form is the same pattern.
        auto again = sig::byte_pattern::parse(t.headers[0].text(), &error);
        QV_FUZZ_CHECK(again && *again == t.headers[0]);
    }
    if (config->types.empty() || config->types.size() > max_types_carved) return 0;

    // The device: the text itself, repeated, so headers from it are found.
    std::vector<uint8_t> bytes(carve_bytes);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = size ? data[i % size] : 0;
    memory_device device(std::move(bytes));
    sig::scan_options options;
    options.every_byte = true;
    options.block_size = 4096;
    sig::scan_device(device, *config, options, nullptr, [&](const char*, uint64_t offset, uint64_t length) {
        QV_FUZZ_CHECK(length > 0 && offset < carve_bytes && length <= carve_bytes - offset);
    });
    return 0;
}

}  // namespace qv::fuzz
