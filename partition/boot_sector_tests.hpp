#pragma once
// Recognises NTFS, exFAT and FAT32 boot sectors and reads the partition length they state.

#include <cstdint>

#include "devices/le_bytes.hpp"

namespace qv::partition {

inline constexpr uint32_t sector_bytes = 512;

enum class boot_kind { none, ntfs, fat32, exfat };

struct boot_candidate {
    boot_kind kind = boot_kind::none;
    uint64_t length = 0;  // sectors; never 0 for a candidate that is kept
};

// Examines the sector at byte offset `at` of `chunk` (the FAT32 test also
// looks at the sector after it; a FAT32 boot sector is one that Windows
// named, or any whose parameter block holds together). NTFS is tested first, then exFAT (its
// length in 512-byte sectors whatever its own sector size). A sector that passes
// a test but states a length of 0 sectors (a FAT32 count of 0, or an NTFS
// count whose "+ 1" wraps) is refused like one that fails, so a search that
// skips a candidate's body always moves forward.
boot_candidate examine_boot_sector(byte_view chunk, size_t at);

}  // namespace qv::partition
