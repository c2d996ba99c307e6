#pragma once
// Small helpers shared by the deep-scan tests: scanning bytes in memory and
// running the engine on an image file.

#include <cstdint>
#include <string>
#include <vector>

#include "sigscan/config.hpp"
#include "ui/raw_recovery.hpp"

namespace qv::test {

struct found_item {
    std::string type;
    uint64_t offset;
    uint64_t size;
    bool operator==(const found_item&) const = default;
};

// Scans bytes held in memory with the given (default: built-in) configuration.
std::vector<found_item> scan_memory(const std::vector<uint8_t>& image, bool every_byte = false,
                                    const qv::sig::signature_config* config = nullptr);

// Runs the deep-scan engine over an image file on its own thread and waits.
void run_engine(raw_recovery_c& engine, const std::string& image_path, bool every_byte = false);

std::vector<found_item> engine_items(const raw_recovery_c& engine);

}  // namespace qv::test
