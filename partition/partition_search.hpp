#pragma once
// The lost-partition search itself: reads the drive's own table, then walks
// the drive in 128 KiB chunks and reports every file system it recognises.

#include <atomic>
#include <cstdint>
#include <functional>

#include "partition/disk_table.hpp"
#include "partition/partition_item.hpp"

namespace qv {
class device_handle;
}

namespace qv::partition {

inline constexpr uint64_t chunk_sectors = 256;  // one 128 KiB read
inline constexpr uint64_t candidates_per_chunk =
    chunk_sectors - 1;  // the last one starts the next chunk

enum search_result { search_done = 0, search_stopped = 1 };

// How much of the drive between partitions the search examines.
enum class search_reach {
    // The places partitions are made to start at: every sector of the first MiB
    // and of the MiB after each partition found, then every MiB boundary, every
    // cylinder boundary (255 heads x 63 sectors) and the track after it; at each
    // place the sectors where a boot sector, superblock or header (or an NTFS
    // boot-sector copy, just before it) can lie. A few small reads per MiB.
    likely_places,
    // Every sector, read in large windows.
    every_sector,
};

struct search_hooks {
    std::atomic<double>* progress = nullptr;  // fraction searched, written as the search moves on
    std::function<bool()> stop;               // asked between chunks; true ends the search
    std::function<void(const partition_item_s&)> found;  // called for each find, in drive order
    std::function<void(const disk_table&)> table;        // called once, before any find
    search_reach reach = search_reach::every_sector;
};

// Reads the drive's partition table first: each partition a valid table
// lists is reported (listed = true) when the walk reaches it, and the walk
// jumps past it without searching inside. Then searches dev from its first
// sector. Every sector is tested as a boot sector (NTFS, exFAT, FAT12/16/32)
// and as a place where a superblock or header can lie (ext2/3/4 and their
// group copies, btrfs and its copies, XFS, swap, LUKS, LVM2, HFS+, ISO 9660);
// a hint is checked against the drive before it counts. A find whose size
// the format does not state (LUKS) ends where the next one begins. With
// search_reach::likely_places only those places are examined, the same way.
// Otherwise: a chunk is 256 sectors read at sector
// P; its sectors 0..254 are candidates, so every sector is examined once.
// A find moves P past the partition's body; otherwise P advances by 255.
// The search ends at a chunk that cannot be read in full (an I/O error or the
// end of the drive), when P passes the drive's end, or on a stop request.
// Progress is 1.0 after a search that ran to its end; a stopped search leaves
// it where it was. Reads are made in large windows of whole chunks, which
// examines exactly the sectors that chunk-by-chunk reads would.
search_result search_device(device_handle& dev, const search_hooks& hooks);

}  // namespace qv::partition
