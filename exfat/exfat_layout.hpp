#pragma once
// Byte offsets, type codes and limits of the exFAT on-disk structures this reader uses.

#include <cstddef>
#include <cstdint>

namespace qv::exfat {

// Main boot sector (sector 0 of the volume; the backup boot region starts at sector 12).
namespace boot {
inline constexpr size_t jump = 0;               // EB 76 90
inline constexpr size_t name = 3;               // "EXFAT   "
inline constexpr size_t must_be_zero = 11;      // 53 zero bytes where FAT keeps its BPB
inline constexpr size_t must_be_zero_length = 53;
inline constexpr size_t partition_offset = 64;  // 64-bit, sectors
inline constexpr size_t volume_length = 72;     // 64-bit, sectors
inline constexpr size_t fat_offset = 80;        // 32-bit, sectors
inline constexpr size_t fat_length = 84;        // 32-bit, sectors
inline constexpr size_t heap_offset = 88;       // 32-bit, sectors
inline constexpr size_t cluster_count = 92;
inline constexpr size_t root_cluster = 96;
inline constexpr size_t serial = 100;
inline constexpr size_t revision = 104;
inline constexpr size_t volume_flags = 106;     // left out of the boot checksum
inline constexpr size_t sector_shift = 108;
inline constexpr size_t cluster_shift = 109;    // sectors per cluster, as a power of two
inline constexpr size_t fat_count = 110;
inline constexpr size_t percent_in_use = 112;   // left out of the boot checksum
inline constexpr size_t signature = 510;        // 55 AA
inline constexpr size_t parsed_bytes = 512;

inline constexpr uint32_t region_sectors = 12;  // boot, 8 extended, OEM, reserved, checksum
inline constexpr uint32_t checksum_sector = 11;
inline constexpr uint32_t min_sector_shift = 9;
inline constexpr uint32_t max_sector_shift = 12;
inline constexpr uint32_t max_cluster_bytes_shift = 25;  // 32 MiB clusters at most
inline constexpr uint16_t flag_active_fat = 0x0001;
}  // namespace boot

// FAT entry values.
namespace fat {
inline constexpr uint32_t first_cluster = 2;
inline constexpr uint32_t bad = 0xFFFFFFF7u;
inline constexpr uint32_t end = 0xFFFFFFFFu;
inline constexpr uint32_t max_cluster_count = 0xFFFFFFF5u;
}  // namespace fat

// Directory entries: 32 bytes; the type byte carries the in-use bit (0x80),
// the category (0x40: secondary) and importance (0x20: benign) bits.
namespace entry {
inline constexpr size_t size = 32;
inline constexpr size_t type = 0;
inline constexpr uint8_t in_use = 0x80;
inline constexpr uint8_t end_of_directory = 0x00;

inline constexpr uint8_t allocation_bitmap = 0x81;
inline constexpr uint8_t upcase_table = 0x82;
inline constexpr uint8_t volume_label = 0x83;
inline constexpr uint8_t file = 0x85;
inline constexpr uint8_t stream = 0xC0;
inline constexpr uint8_t file_name = 0xC1;

// Critical primaries of the root: allocation bitmap and up-case table.
inline constexpr size_t bitmap_flags = 1;       // bit 0: which FAT this bitmap belongs to
inline constexpr size_t upcase_checksum = 4;
inline constexpr size_t first_cluster = 20;     // bitmap, up-case table and stream
inline constexpr size_t data_length = 24;       // 64-bit
inline constexpr size_t label_length = 1;
inline constexpr size_t label_text = 2;         // up to 11 UTF-16 units

// File entry (primary of a file's entry set).
inline constexpr size_t secondary_count = 1;
inline constexpr size_t set_checksum = 2;       // 16-bit, left out of its own sum
inline constexpr size_t attributes = 4;
inline constexpr size_t created = 8;
inline constexpr size_t modified = 12;
inline constexpr size_t accessed = 16;
inline constexpr size_t created_10ms = 20;
inline constexpr size_t modified_10ms = 21;
inline constexpr size_t created_utc = 22;
inline constexpr size_t modified_utc = 23;
inline constexpr size_t accessed_utc = 24;
inline constexpr uint16_t attribute_directory = 0x0010;

// Stream extension (first secondary).
inline constexpr size_t stream_flags = 1;
inline constexpr size_t name_length = 3;
inline constexpr size_t name_hash = 4;
inline constexpr size_t valid_data_length = 8;  // 64-bit
inline constexpr uint8_t flag_allocation_possible = 0x01;
inline constexpr uint8_t flag_no_fat_chain = 0x02;

// File name entries: 15 UTF-16 units each.
inline constexpr size_t name_text = 2;
inline constexpr size_t name_units = 15;
inline constexpr size_t max_name_units = 255;
inline constexpr uint8_t max_secondaries = 255;
}  // namespace entry

// A directory holds at most 256 MiB of entries.
inline constexpr uint64_t max_directory_bytes = uint64_t(256) << 20;
// Folders nested deeper than this are not walked (a hostile image could nest without end).
inline constexpr int max_walk_depth = 256;

}  // namespace qv::exfat
