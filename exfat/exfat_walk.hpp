#pragma once
// Walks an exFAT volume's folders and delivers its folders and deleted files and folders,
// including everything inside deleted folders.

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "exfat/data_plan.hpp"
#include "exfat/entry_set.hpp"
#include "exfat/exfat_volume.hpp"

namespace qv::exfat {

// The folder that entries of folder clusters no folder reached are delivered
// under (its parent is the root). No file entry has this id.
inline constexpr uint64_t lost_files_id = uint64_t(1) << 62;
inline constexpr const char* lost_files_name = "Lost files";

// One delivered entry set.
struct found_entry {
    uint64_t id = 0;      // byte offset of its file entry on the volume / 32; never 0
    uint64_t parent = 0;  // id of the folder it was found in; 0 = the root
    entry_set set;
    bool deleted = false; // the set is deleted or lies below a deleted folder
    data_state state = data_state::unknown;
};

struct walk_hooks {
    std::function<bool()> stop;                    // asked often; true ends the walk
    // After each folder: the fraction done (0.0 to 1.0, never going back), the entries examined
    // and the directory bytes that could not be read so far.
    std::function<void(double, uint64_t, uint64_t)> progress;
    std::function<void(const found_entry&)> found;
    bool live_files = false;                       // also deliver files that still exist
};

struct walk_result {
    uint64_t entries = 0;          // directory entries examined
    uint64_t folders = 0;          // folders read
    uint64_t unreadable = 0;       // directory bytes that could not be read
    // Folders with unreadable bytes: the folder's first cluster and the bytes lost.
    std::vector<std::pair<uint32_t, uint64_t>> unreadable_folders;
    bool stopped = false;
    bool vanished = false;         // the device went away: the walk ended there
    bool budget_exhausted = false; // folders claimed more than the volume could hold
};

// Walks from the root. Live folders are read along their FAT chains (or
// contiguously), deleted folders from their clusters that are free now.
// Free clusters that read as folder entries and that no folder reached are
// read last, their entries delivered under the lost-files folder.
// Every folder is read at most once, nesting stops at max_walk_depth, and
// the bytes read in all are bounded by a multiple of the heap.
walk_result walk(volume& vol, const walk_hooks& hooks);

// Where entry `index` of a folder read from runs lies on the volume, in entries (bytes / 32).
uint64_t entry_id(const geometry& g, const std::vector<extent>& runs, uint64_t index);

}  // namespace qv::exfat
