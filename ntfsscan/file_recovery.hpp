#pragma once
// Writes one file's data, read from an MFT record's $DATA attribute, to a new destination file.

#include <cstdint>

#include "ntfsscan/ntfs_volume.hpp"

namespace qv::ntfs {

// Results of recover_record (0 is success).
enum recover_error : int {
    recover_not_started = -1,  // no scan context
    recover_bad_record = -2,   // the record cannot be read, fails its fixups or is not a base record
    recover_no_data = -3,      // a directory, or no unnamed $DATA attribute
    recover_unsupported = -4,  // compressed or encrypted data
    recover_bad_runs = -5,     // corrupt sizes or runlist, or runs that do not cover the size
    recover_destination = -6,  // the destination cannot be created (or is the source)
    recover_read_failed = -7,  // the device went away, or the clusters lie past its end
    recover_write_failed = -8, // the destination cannot be written
};

// Writes record number's unnamed data stream to a new file at destination:
// resident bytes as they are, non-resident clusters from the runlist with
// sparse runs and bytes past the initialized size as zeros, exactly the
// file's size. Clusters that cannot be read are written as zeros and counted
// in *unreadable (may be null). Any failure removes the partly written file.
int recover_record(volume& vol, uint64_t number, const char* destination, uint64_t* unreadable = nullptr);

// True when path names the file that holds the volume (an image file), so
// it must never be replaced or written.
bool is_source_path(volume& vol, const char* path);

}  // namespace qv::ntfs
