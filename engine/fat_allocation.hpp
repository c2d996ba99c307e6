#pragma once
// Which clusters a FAT volume's allocation table holds for live data, read once
// from the table's bytes: free space, and where a deleted file's data may still lie.

#include <cstdint>
#include <optional>
#include <vector>

#include "devices/le_bytes.hpp"

namespace qv {

class device_handle;

class fat_allocation {
public:
    fat_allocation() = default;
    // bits: 12, 16 or 32; entry_count: data clusters + 2. table: the first
    // FAT's bytes; entries it does not reach (a short read) count as in use
    // and leave the table incomplete.
    static fat_allocation from_table(byte_view table, int bits, uint32_t entry_count);

    uint32_t entry_count() const { return entry_count_; }
    // True when every entry could be read.
    bool complete() const { return complete_; }
    // A cluster whose entry is not 0 (in a chain, the end of one, bad or
    // reserved); clusters outside 2 .. entry_count - 1 count as in use.
    bool in_use(uint32_t cluster) const {
        if (cluster < 2 || cluster >= entry_count_) return true;
        return (used_[cluster / 64] >> (cluster % 64)) & 1;
    }
    // Free data clusters (entries that are 0).
    uint32_t free_clusters() const { return free_; }
    // The first free (or in-use) cluster at or after from; entry_count when none.
    uint32_t next_free(uint32_t from) const { return next_with(from, false); }
    uint32_t next_in_use(uint32_t from) const { return next_with(from, true); }

private:
    uint32_t next_with(uint32_t from, bool used) const;
    std::vector<uint64_t> used_;
    uint32_t entry_count_ = 0;
    uint32_t free_ = 0;
    bool complete_ = false;
};

// Signs that a copy of the allocation table is damaged: an entry 0 that does
// not repeat the boot sector's media byte, entries that point outside the
// volume or at cluster 1, and chains that run into a free cluster. 0 for a
// sound table; entries the bytes do not reach count one each.
uint32_t fat_table_faults(byte_view table, int bits, uint32_t entry_count, uint8_t media);

// The clusters some entry of the table points at (the second and later
// clusters of chains); true at index c. The others in use start a chain.
std::vector<bool> fat_chain_targets(byte_view table, int bits, uint32_t entry_count);

// A stretch of consecutive clusters.
struct fat_cluster_run {
    uint32_t first = 0;
    uint32_t count = 0;
};

// Where a deleted file's bytes are read from, and what that says about them.
struct fat_data_plan {
    std::vector<fat_cluster_run> runs;  // in file order
    uint64_t bytes = 0;                 // of the file's size that the runs hold
    uint32_t skipped = 0;               // clusters in use stepped over
    bool first_in_use = false;          // the first cluster belongs to live data now
    bool complete = false;              // the runs hold the whole size
};

// A deleted file's clusters from its first one on. When the first cluster is
// free, clusters the table shows in use are stepped over (live files written
// into the gaps of a fragmented file) until size bytes are had; when it is in
// use, the clusters follow each other as they lie, as a contiguous file would.
// Never past the last cluster of the volume.
fat_data_plan plan_deleted_data(uint32_t first_cluster, uint64_t size, uint32_t cluster_bytes,
                                const fat_allocation& table);

// A FAT volume's first table with where its clusters lie.
struct fat_volume_map {
    fat_allocation table;
    uint64_t data_start = 0;    // byte offset of cluster 2
    uint32_t cluster_bytes = 0;
    // Byte offset of cluster c (2 or more).
    uint64_t cluster_offset(uint32_t c) const { return data_start + uint64_t(c - 2) * cluster_bytes; }
};

// Reads the boot sector and the whole first table of the FAT volume on
// device; nothing when the boot sector does not hold or the table cannot be
// read whole.
std::optional<fat_volume_map> read_fat_volume_map(device_handle& device);

}  // namespace qv
