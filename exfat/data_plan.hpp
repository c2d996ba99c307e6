#pragma once
// Where a file's or folder's data lies now, and how likely it is still there, from its
// stream entry, the FAT and the allocation bitmap.

#include <cstdint>
#include <vector>

#include "exfat/entry_set.hpp"
#include "exfat/exfat_volume.hpp"

namespace qv::exfat {

enum class data_state {
    unknown,      // the bitmap could not be read
    intact,       // every cluster the data needs is free (or, for live data, its own)
    assembled,    // read onward around clusters that other files use now
    overwritten,  // clusters the data needs are used by other files now, or lie past the volume
};

struct data_plan {
    std::vector<extent> runs;  // clusters to read, in file order
    uint64_t clusters = 0;     // clusters in runs
    uint64_t missing = 0;      // clusters the data needs that no run holds
    data_state state = data_state::unknown;
    bool read_onward = false;  // chained deleted data whose chain was gone: clusters guessed
};

// The clusters of set's data. deleted: the set is deleted or lies below a
// deleted folder, so its FAT chain may be gone and its clusters reused.
//  - live data: contiguous clusters (NoFatChain) or the FAT chain;
//  - deleted NoFatChain data: its contiguous clusters, overwritten when any is in use;
//  - deleted chained data: the old chain when the FAT still holds one of the
//    right length over free clusters, else onward from the first cluster,
//    skipping clusters in use (assembled when any was skipped).
// max_clusters caps the plan (directories are read up to 256 MiB).
data_plan plan_data(volume& vol, const entry_set& set, bool deleted, uint64_t max_clusters);

}  // namespace qv::exfat
