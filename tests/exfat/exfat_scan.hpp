#pragma once
// Runs the exFAT reader over an image for tests: every delivered entry by id, paths, copies.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "devices/device_handle.hpp"
#include "exfat/exfat_volume.hpp"
#include "exfat/exfat_walk.hpp"

namespace qv::test {

struct exfat_scan {
    std::unique_ptr<device_handle> device;
    std::unique_ptr<exfat::volume> volume;
    int open_result = 0;
    exfat::walk_result result;
    std::map<uint64_t, exfat::found_entry> items;

    // "/"-separated path from the root; "?" parts where a parent is missing.
    std::string path_of(uint64_t id) const;
    // Items by path.
    std::map<std::string, const exfat::found_entry*> by_path() const;
    // Copies an item to destination and returns its bytes (empty on failure, *rc set).
    std::vector<uint8_t> copy(const exfat::found_entry& item, const std::string& destination, int* rc = nullptr);
};

// Opens the image file (or the bytes) and walks it.
exfat_scan scan_exfat_file(const std::string& image, bool live_files = false);
exfat_scan scan_exfat_bytes(std::vector<uint8_t> bytes, bool live_files = false);

}  // namespace qv::test
