#pragma once
// File-system and partition-table probing of image files and devices with libblkid.

#include <cstdint>
#include <string>
#include <vector>

namespace qv {

struct fs_signature {
    std::string file_system;  // "FAT12"/"FAT16"/"FAT32", "NTFS", "exFAT", libblkid's type, or empty
    std::string label;
};

struct partition_entry {
    int number = 0;          // 1-based, as the table numbers it
    uint64_t offset = 0;     // bytes from the start of the drive
    uint64_t length = 0;     // bytes, clamped to the drive
    bool extended = false;   // an MBR extended-partition container
};

// Identifies the file system in [offset, offset + length) of the open file descriptor.
fs_signature probe_file_system(int fd, uint64_t offset, uint64_t length);

// Reads the MBR or GPT partition table of a drive open at fd whose size is
// drive_size bytes. Entries that start past the end are dropped; entries that
// run past the end are cut at it. An empty list means no table.
std::vector<partition_entry> read_partition_table(int fd, uint64_t drive_size);

// Maps libblkid's type and version to the names the engines choose by.
std::string file_system_name(const std::string& type, const std::string& version);

}  // namespace qv
