#pragma once
// Writes one found file's data to a new destination file, with its original times.

#include <cstdint>

#include "exfat/exfat_volume.hpp"
#include "exfat/exfat_walk.hpp"

namespace qv::exfat {

// Results of copy_file (0 is success).
enum copy_error : int {
    copy_not_a_file = -1,    // a folder
    copy_destination = -2,   // the destination cannot be created (or is the source)
    copy_write_failed = -3,  // the destination cannot be written
    copy_no_data = -4,       // the data's first cluster lies outside the volume
};

struct copy_report {
    uint64_t unreadable = 0;  // bytes that could not be read and were written as zeros
    uint64_t missing = 0;     // bytes past the clusters that could be planned (zeros)
};

// Writes the item's data to destination: valid_length bytes from its
// clusters (contiguous for NoFatChain data; for deleted chained data as
// plan_data finds them), then zeros up to data_length, as the file system
// returns them. The modification and access times are set to the entry's.
// Any failure removes the partly written file.
int copy_file(volume& vol, const found_entry& item, const char* destination, copy_report* report);

// True when path names the file or block device that holds the volume, so
// it must never be replaced or written.
bool is_source_path(volume& vol, const char* path);

}  // namespace qv::exfat
