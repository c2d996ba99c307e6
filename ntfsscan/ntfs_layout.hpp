#pragma once
// Byte offsets, flags and type codes of the NTFS on-disk structures this reader uses.

#include <cstddef>
#include <cstdint>

namespace qv::ntfs {

// Boot sector (first sector of the volume; a copy sits in its last sector).
namespace boot {
inline constexpr size_t oem_id = 0x03;  // "NTFS    "
inline constexpr size_t bytes_per_sector = 0x0B;
inline constexpr size_t sectors_per_cluster = 0x0D;
inline constexpr size_t total_sectors = 0x28;
inline constexpr size_t mft_lcn = 0x30;
inline constexpr size_t mftmirr_lcn = 0x38;
inline constexpr size_t clusters_per_record = 0x40;
inline constexpr size_t size = 512;
}  // namespace boot

// Multi-sector header and FILE record header.
namespace rec {
inline constexpr size_t signature = 0x00;  // "FILE"
inline constexpr size_t usa_offset = 0x04;
inline constexpr size_t usa_count = 0x06;   // words, update sequence number included
inline constexpr size_t sequence = 0x10;
inline constexpr size_t first_attribute = 0x14;
inline constexpr size_t flags = 0x16;
inline constexpr size_t used_size = 0x18;
inline constexpr size_t base_reference = 0x20;
inline constexpr size_t header_size = 0x30;
// The update sequence protects every 512-byte stride, whatever the sector size.
inline constexpr size_t fixup_stride = 512;

inline constexpr uint16_t flag_in_use = 0x0001;
inline constexpr uint16_t flag_directory = 0x0002;
}  // namespace rec

// Attribute record header, common part, then the resident and non-resident forms.
namespace attr {
inline constexpr size_t type = 0x00;
inline constexpr size_t length = 0x04;
inline constexpr size_t non_resident = 0x08;
inline constexpr size_t name_length = 0x09;  // UTF-16 units
inline constexpr size_t name_offset = 0x0A;
inline constexpr size_t flags = 0x0C;

inline constexpr size_t value_length = 0x10;  // resident
inline constexpr size_t value_offset = 0x14;
inline constexpr size_t resident_header = 0x18;

inline constexpr size_t lowest_vcn = 0x10;  // non-resident
inline constexpr size_t highest_vcn = 0x18;
inline constexpr size_t runlist_offset = 0x20;
inline constexpr size_t compression_unit = 0x22;
inline constexpr size_t allocated_size = 0x28;
inline constexpr size_t data_size = 0x30;
inline constexpr size_t initialized_size = 0x38;
inline constexpr size_t non_resident_header = 0x40;

inline constexpr uint16_t flag_compression_mask = 0x00FF;
inline constexpr uint16_t flag_encrypted = 0x4000;
inline constexpr uint16_t flag_sparse = 0x8000;

inline constexpr uint32_t end_marker = 0xFFFFFFFF;
}  // namespace attr

// Attribute type codes.
inline constexpr uint32_t type_standard_information = 0x10;
inline constexpr uint32_t type_attribute_list = 0x20;
inline constexpr uint32_t type_file_name = 0x30;
inline constexpr uint32_t type_data = 0x80;

// $STANDARD_INFORMATION value.
namespace si {
inline constexpr size_t created = 0x00;
inline constexpr size_t modified = 0x08;
inline constexpr size_t file_attributes = 0x20;
inline constexpr size_t min_size = 0x30;
inline constexpr uint32_t attribute_compressed = 0x0800;
inline constexpr uint32_t attribute_encrypted = 0x4000;
}  // namespace si

// $FILE_NAME value.
namespace fn {
inline constexpr size_t parent = 0x00;
inline constexpr size_t created = 0x08;
inline constexpr size_t modified = 0x10;
inline constexpr size_t name_length = 0x40;  // UTF-16 units
inline constexpr size_t name_space = 0x41;
inline constexpr size_t name = 0x42;
inline constexpr uint8_t space_posix = 0;
inline constexpr uint8_t space_win32 = 1;
inline constexpr uint8_t space_dos = 2;
inline constexpr uint8_t space_win32_and_dos = 3;
}  // namespace fn

// One $ATTRIBUTE_LIST entry.
namespace al {
inline constexpr size_t type = 0x00;
inline constexpr size_t length = 0x04;
inline constexpr size_t reference = 0x10;
inline constexpr size_t min_size = 0x1A;
}  // namespace al

// File references: 48-bit record number, 16-bit sequence number.
inline constexpr uint64_t reference_record(uint64_t ref) { return ref & 0x0000FFFFFFFFFFFFull; }
inline constexpr uint16_t reference_sequence(uint64_t ref) { return uint16_t(ref >> 48); }

// Well-known record numbers.
inline constexpr uint64_t record_mft = 0;
inline constexpr uint64_t record_root = 5;

}  // namespace qv::ntfs
