#pragma once
// A read-only FAT12/16/32 reader built for recovery: it also returns deleted
// directory entries and reads files from consecutive clusters. Each volume
// reads through its own device handle, so any number can be open at once.

#include <cstdint>
#include <vector>

#include "fat/fat_layout.hpp"

namespace qv {
class device_handle;
}

enum fat_result : int {
    FAT_OK = 0,
    FAT_DISK_ERROR = 1,
    FAT_INTERNAL_ERROR = 2,   // broken chain, cluster out of range, object in error state
    FAT_NOT_READY = 3,
    FAT_NO_ENTRY = 4,         // end of directory, name not found
    FAT_NO_PATH = 5,
    FAT_INVALID_NAME = 6,
    FAT_DENIED = 7,           // file object not open for reading
    FAT_INVALID_OBJECT = 9,
    FAT_INVALID_DRIVE = 11,
    FAT_NOT_ENABLED = 12,     // no device given
    FAT_NO_FILESYSTEM = 13,
    FAT_OUT_OF_MEMORY = 17,
};

namespace qv {

enum fat_type_code : uint8_t { fat_none = 0, fat_12 = 1, fat_16 = 2, fat_32 = 3 };

// One transfer moves at most this many sectors.
inline constexpr uint32_t fat_max_transfer_sectors = 128;

// Free clusters that read as directory entries, found in one pass over the
// free space before a walk. With it, a folder without a chain goes on without
// reading the clusters in between, and the clusters read as part of a folder
// are marked, so those no folder reached can be told afterwards.
struct fat_folder_index {
    std::vector<uint32_t> clusters;  // ascending
    std::vector<uint8_t> starts;     // 1 where the cluster begins with "." and ".." (a folder's first)
    std::vector<uint8_t> read;       // 1 once read as part of a folder
    // Clusters some table entry points at; the others in use start a chain.
    // A live folder whose chain the table lost goes on at such a start.
    std::vector<bool> chain_targets;
    // Position of cluster c in clusters; clusters.size() when it is not there.
    size_t find(uint32_t c) const;
    void mark_read(uint32_t c) {
        if (size_t i = find(c); i < clusters.size()) read[i] = 1;
    }
};

// Deleted long-name entries a folder read keeps: enough for the longest name.
inline constexpr uint8_t fat_deleted_run_entries = 20;

}  // namespace qv

// One mounted volume. Sector numbers count 512-byte sectors from the start of
// the device handle's window (the volume's first byte), 64-bit so volumes far
// out on large disks are read at the right place.
struct fat_volume {
    uint8_t fat_type = qv::fat_none;
    qv::device_handle* device = nullptr;  // not owned; outlives the mount
    uint8_t sectors_per_cluster = 0;
    uint8_t fat_count = 0;
    uint16_t mount_id = 0;
    uint16_t root_entry_count = 0;
    uint32_t entry_count = 0;      // allocation-table entries: clusters + 2
    uint32_t sectors_per_fat = 0;
    uint32_t fat_start = 0;        // sector of the first FAT
    uint8_t media = 0;             // the boot sector's media byte, which a FAT's entry 0 repeats
    // The FAT copy read for chains (0 = the first); another when the first is damaged.
    uint8_t active_fat = 0;
    uint32_t root_start = 0;       // FAT12/16: root directory sector; FAT32: root's first cluster
    uint32_t data_start = 0;       // sector of cluster 2
    uint64_t window_sector = 0;    // sector held in window; 0 = none
    uint8_t window[512] = {};
    bool gone = false;             // a read found the device gone: nothing more will read
    qv::fat_folder_index* free_folders = nullptr;  // not owned; set by a scan for its walk
};

struct fat_dir {
    fat_volume* volume = nullptr;
    uint16_t mount_id = 0;
    uint16_t index = 0;
    uint32_t start_cluster = 0;    // 0 = root directory
    uint32_t cluster = 0;          // 0 while in the FAT12/16 root table
    uint32_t sector = 0;           // 0 = end reached
    uint16_t entry = 0;            // byte offset of the current entry in the window
    uint8_t short_name[12] = {};   // 11 name bytes and a flag byte (path lookup)
    char16_t* long_name = nullptr; // 256-unit work buffer, valid during one call
    uint16_t lfn_index = 0xFFFF;   // first long-name entry of the current name; 0xFFFF = none
    uint16_t deleted = 0;
    // Cycle check on the folder's cluster chain (Brent): a cluster seen again
    // ends the folder, so a chain that loops is read about once, not 65536 entries long.
    uint32_t loop_mark = 0;
    uint32_t loop_power = 1;
    uint32_t loop_steps = 0;
    // Set (by the caller, or when the chain breaks) to read a folder without a
    // usable chain on into the following clusters while they are free and read
    // as directory entries: a deleted folder, or a live one whose chain is damaged.
    uint8_t free_walk = 0;
    // Set by the caller to read the start cluster alone: the folder ends with it.
    uint8_t one_cluster = 0;
    // Times a live folder's lost chain was taken up again at a chain's start.
    uint8_t head_jumps = 0;
    // Deleted long-name entries right before the current entry, a ring of the
    // last 20 (the longest name): a deleted entry's long name is taken from them.
    uint8_t deleted_run_count = 0;
    uint8_t deleted_run_head = 0;
    uint8_t deleted_run[qv::fat_deleted_run_entries * 32] = {};
    // Set by f_readdir when it returns FAT_DISK_ERROR for a sector of the folder
    // that cannot be read: that sector, which was skipped. The folder goes on
    // after it while `sector` is not 0.
    uint32_t skipped_sector = 0;
};

struct fat_entry_info {
    uint32_t size = 0;
    uint32_t first_cluster = 0;
    uint16_t write_date = 0, write_time = 0;
    uint16_t create_date = 0, create_time = 0;
    uint8_t attributes = 0;            // with qv::fat::attr_deleted added for a deleted entry
    char16_t short_name[13] = {};
    char16_t* long_name = nullptr;     // caller's buffer
    uint32_t long_name_size = 0;       // its size in units
    // A deleted entry's long name taken back from its deleted long-name entries
    // (checksum matched), into the caller's buffer; empty when none.
    char16_t* deleted_long_name = nullptr;
    uint32_t deleted_long_name_size = 0;  // its size in units
};

namespace qv {

inline constexpr uint8_t fat_file_read = 0x01;
inline constexpr uint8_t fat_file_error = 0x80;

}  // namespace qv

struct fat_file {
    fat_volume* volume = nullptr;
    uint16_t mount_id = 0;
    uint8_t flags = 0;
    uint32_t position = 0;
    uint32_t size = 0;
    uint32_t start_cluster = 0;
    uint32_t cluster = 0;
    uint64_t cached_sector = 0;        // sector held in buffer; 0 = none
    uint8_t buffer[512] = {};
    bool cached_unreadable = false;    // the sector in buffer could not be read (it holds zeros)
    uint64_t unreadable = 0;           // bytes read so far that could not be read: zeros in the output
};

namespace qv {

// Reads the boot sector at the start of device and mounts the volume found
// there; the device must stay open as long as the volume is used. FAT_OK,
// FAT_NOT_READY (no medium), FAT_DISK_ERROR or FAT_NO_FILESYSTEM.
fat_result f_mount(fat_volume* volume, device_handle& device);

}  // namespace qv

// Resolves path ("/" = root) on a mounted volume and positions at its first entry.
fat_result f_opendir(fat_dir* dir, fat_volume* volume, const char16_t* path);
// With info: reads the next entry, live or deleted (at the end: FAT_OK with an
// empty short name). Without info: rewinds to entry 0. A folder sector that
// cannot be read gives FAT_DISK_ERROR with dir->skipped_sector set; the next
// call goes on after it (unless dir->sector is 0 or the volume is gone).
fat_result f_readdir(fat_dir* dir, fat_entry_info* info);
// Reads up to count bytes from the current position. With contiguous set,
// the cluster after each one is taken to be the next (a deleted file's chain is gone).
// Sectors that cannot be read come back as zeros, counted in file->unreadable;
// FAT_NOT_READY when the device has gone.
fat_result f_readfile(fat_file* file, void* destination, uint32_t count, uint32_t* bytes_read,
                      int contiguous);

namespace qv {

// The checksum of an 11-byte short name that its long-name entries carry.
uint8_t fat_short_name_checksum(const uint8_t* name11);
// Windows code page 936 (GBK) code to UTF-16; 0 when the code has no mapping.
char16_t cp936_to_unicode(uint16_t code);
// UTF-16 unit to code page 936 (one or two bytes in the result); 0 when it has no mapping.
uint16_t unicode_to_cp936(char16_t unit);
// Upper case of a UTF-16 unit for name comparison.
char16_t fat_upper(char16_t unit);

}  // namespace qv
