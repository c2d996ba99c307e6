#pragma once
// What a deep scan of free space leaves out: the parts of a volume its file
// system gives to something, and the data of the files its file-system scan found.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "devices/byte_ranges.hpp"
#include "engine/scan_hooks.hpp"

namespace qv {

class device_handle;

struct free_space_mask {
    bool known = false;              // false: the whole volume is to be scanned
    std::string unknown_why;         // in words, when not known
    std::string scanner;             // the file-system scanner that read the volume ("fat")
    std::vector<byte_range> masked;  // merged; inside the device
    uint64_t in_use_bytes = 0;       // the allocated part of masked
    uint64_t found_bytes = 0;        // the rest: found files' data outside the allocated part
    size_t found_items = 0;          // files the file-system scan found

    uint64_t masked_bytes() const { return in_use_bytes + found_bytes; }
};

// Reads the volume on device with its file-system scanner (by the catalog's
// name file_system, or by probe where that is empty): the allocated ranges,
// then a scan through hooks whose found files' data is masked too. Not known
// when no scanner reads the volume or its allocation records cannot be read.
free_space_mask read_free_space_mask(device_handle& device, std::string_view file_system, const scan_hooks& hooks);

// Whether read_free_space_mask would know the free space of the volume: a
// scanner reads it and its allocation records can be read. Reads only those
// records, not the files.
bool free_space_readable(device_handle& device, std::string_view file_system);

}  // namespace qv
