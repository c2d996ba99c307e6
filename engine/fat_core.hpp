#pragma once
// The FAT scan without threads: walks every folder of a FAT12/16/32 volume on
// a device handle, files every directory and deleted file, and copies a found
// file out from consecutive clusters.

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "devices/read_problems.hpp"
#include "engine/fat_item.hpp"
#include "engine/found_item.hpp"
#include "engine/scan_hooks.hpp"

namespace qv {

class device_handle;

// Items by first cluster; the root is cluster 0. Items point at their children
// inside the map: move it, never copy it.
using fat_item_map = std::unordered_map<uint32_t, fat_item_s>;

class fat_core {
public:
    fat_core();
    ~fat_core();
    fat_core(const fat_core&) = delete;
    fat_core& operator=(const fat_core&) = delete;

    // Scans the volume at the start of device. The result always holds the root
    // (cluster 0); a device without a FAT file system gives only that. device
    // must stay open while the core recovers files of this result. Folder
    // sectors that cannot be read are skipped and noted in problems(); a device
    // that goes away ends the walk with what was found so far.
    fat_item_map scan(device_handle& device, const scan_hooks& hooks);
    // What the last scan could not read (any thread while it runs).
    const read_problems& problems() const;

    // Writes size bytes of the file starting at cluster to destination
    // (replacing a file there); a deleted file is read from consecutive
    // clusters, a live one along its chain. 0, or -1 when the volume is not
    // mounted, a read fails (the bytes read so far stay) or the file cannot be written.
    // Sectors that cannot be read are written as zeros (see last_unreadable_bytes).
    int recover(uint32_t cluster, uint32_t size, bool deleted, const std::string& destination);
    int recover(const found_item& item, const std::string& destination);
    // Bytes of the last recovery that could not be read and were written as zeros.
    uint64_t last_unreadable_bytes() const;

    // The byte offset of the scanned volume on its drive (0 before a scan).
    uint64_t volume_offset() const;

    // FAT date and time words as seconds since 1970, read as local time; 0
    // when not representable.
    static int64_t fat_time(uint16_t date, uint16_t time);
    // The progress shown before reading an entry: the entries read so far over
    // 2000, held at 0.99 once that passes 1.
    static double entry_progress(uint64_t entries_before);

private:
    struct state;
    std::unique_ptr<state> s_;
};

// The id of the folder that files of folder clusters no folder reached are
// shown under, when their entries do not tell where they belong (no cluster has it).
inline constexpr uint32_t fat_lost_files_id = 0xFFFFFFFF;

// The result as found items, in cluster order (the root is not among them:
// items of the root folder have parent 0).
std::vector<found_item> fat_found_items(const fat_item_map& items);

// Walks deeper than this are cut off (a hostile image could nest without end).
inline constexpr int fat_max_walk_depth = 256;

}  // namespace qv
