#pragma once
// FAT boot-sector field offsets, directory-entry and long-name-entry fields and
// attribute bits, shared by the FAT reader, the partition search, the image
// builders and the tests.

#include <cstddef>
#include <cstdint>

namespace qv::fat {

// Boot sector (BIOS parameter block) fields, byte offsets from the sector's start.
inline constexpr size_t bpb_oem_name = 3;            // 8 bytes
inline constexpr size_t bpb_bytes_per_sector = 11;   // 16-bit
inline constexpr size_t bpb_sectors_per_cluster = 13;
inline constexpr size_t bpb_reserved_sectors = 14;   // 16-bit
inline constexpr size_t bpb_fat_count = 16;
inline constexpr size_t bpb_root_entries = 17;       // 16-bit, 0 on FAT32
inline constexpr size_t bpb_total_sectors16 = 19;    // 16-bit, 0 when the 32-bit field holds it
inline constexpr size_t bpb_media = 21;
inline constexpr size_t bpb_sectors_per_fat16 = 22;  // 16-bit, 0 on FAT32
inline constexpr size_t bpb_total_sectors32 = 32;    // 32-bit
inline constexpr size_t bpb_sectors_per_fat32 = 36;  // 32-bit
inline constexpr size_t bpb_root_cluster32 = 44;     // 32-bit
inline constexpr size_t bs_fs_type16 = 54;           // "FAT12   " / "FAT16   "
inline constexpr size_t bs_fs_type32 = 82;           // "FAT32   "
inline constexpr size_t bs_signature = 510;          // 0x55 0xAA (le16 0xAA55)
inline constexpr uint16_t boot_signature = 0xAA55;

// Directory entry fields, byte offsets from the entry's start (32 bytes each).
inline constexpr size_t entry_bytes = 32;
inline constexpr size_t dir_name = 0;           // 11 bytes: 8 name, 3 extension
inline constexpr size_t dir_attributes = 11;
inline constexpr size_t dir_case_flags = 12;
inline constexpr size_t dir_create_time = 14;
inline constexpr size_t dir_create_date = 16;
inline constexpr size_t dir_cluster_high = 20;
inline constexpr size_t dir_write_time = 22;
inline constexpr size_t dir_write_date = 24;
inline constexpr size_t dir_cluster_low = 26;
inline constexpr size_t dir_file_size = 28;
inline constexpr size_t short_name_bytes = 11;
inline constexpr uint8_t deleted_mark = 0xE5;   // first name byte of a deleted entry
inline constexpr uint8_t kanji_lead_mark = 0x05;  // a first name byte 0xE5 as stored

// Long-name entries (attributes attr_long_name), 13 UTF-16 units each, in front
// of the short entry they name, last part first.
inline constexpr size_t lfn_order = 0;          // part number 1-20, lfn_last on the last part
inline constexpr size_t lfn_type = 12;          // 0
inline constexpr size_t lfn_checksum = 13;      // checksum of the short name
inline constexpr size_t lfn_cluster = 26;       // 16-bit, 0
inline constexpr size_t lfn_units = 13;
inline constexpr size_t lfn_unit_offsets[lfn_units] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
inline constexpr uint8_t lfn_last = 0x40;
inline constexpr size_t max_lfn_entries = 20;   // 20 x 13 units hold the longest name
inline constexpr size_t max_name_units = 255;

// Directory-entry attribute bits.
inline constexpr uint8_t attr_read_only = 0x01;
inline constexpr uint8_t attr_hidden = 0x02;
inline constexpr uint8_t attr_system = 0x04;
inline constexpr uint8_t attr_volume = 0x08;
inline constexpr uint8_t attr_directory = 0x10;
inline constexpr uint8_t attr_archive = 0x20;
inline constexpr uint8_t attr_long_name = 0x0F;
// Added by the reader for a deleted entry (or one below a deleted folder); never on disk.
inline constexpr uint8_t attr_deleted = 0x40;

}  // namespace qv::fat
