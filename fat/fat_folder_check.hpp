#pragma once
// Tells whether a cluster's bytes read as FAT directory entries: how the walk
// decides to follow a folder whose cluster chain is gone into the next cluster.

#include <cstdint>

#include "devices/le_bytes.hpp"

namespace qv {

struct fat_folder_limits {
    uint32_t entry_count = 0;   // allocation-table entries: data clusters + 2
    uint64_t volume_bytes = 0;  // no file is larger
    bool fat32 = false;         // the high word of the first cluster counts
};

enum class folder_check {
    not_entries,  // some entry is neither unused, deleted nor sane
    entries,      // every entry is a deleted or sane one
    ends_here,    // sane entries up to an end-of-directory mark (first byte 0)
    empty,        // the first entry is the end-of-directory mark
};

// Checks every 32-byte entry of bytes (a whole cluster) up to the first
// end-of-directory mark. Sane: a long-name entry with a sequence byte of 1-20
// (0x40 set on the last) or the deleted mark, type 0 and cluster 0; or a short
// entry with no reserved attribute bits, name bytes that can stand in a short
// name, a first cluster of 0 or inside the volume, and a size within it.
folder_check check_folder_cluster(byte_view bytes, const fat_folder_limits& limits);

// The same test for one 32-byte entry.
bool sane_folder_entry(byte_view entry, const fat_folder_limits& limits);

}  // namespace qv
