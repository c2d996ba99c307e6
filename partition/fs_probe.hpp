#pragma once
// Recognises the file systems the lost-partition search looks for by their
// own structures (superblocks, headers, checksums) and reads size and label.

#include <QString>

#include <cstdint>
#include <vector>

#include "devices/le_bytes.hpp"

namespace qv {
class device_handle;
}

namespace qv::partition {

enum class fs_kind {
    none, ntfs, exfat, fat12, fat16, fat32, ext2, ext3, ext4, btrfs, xfs, swap, luks1, luks2, lvm2, hfsplus, iso9660
};

struct fs_found {
    fs_kind kind = fs_kind::none;
    uint64_t start = 0;    // first sector of the file system on the drive
    uint64_t sectors = 0;  // 0 when the format does not state it (LUKS)
    QString label;
    bool from_backup = false;  // found through a backup superblock or boot sector
};

// "ext4", "NTFS", "LUKS2", ...
QString fs_kind_name(fs_kind kind);
// The MBR type byte the repair writes for it.
uint8_t fs_mbr_type(fs_kind kind, uint64_t sectors);

// Where a file system might begin, judged from one 512-byte sector (number
// `sector_no`) that may hold one of its superblocks, primary or backup.
struct fs_hint {
    fs_kind family = fs_kind::none;  // ext4 stands for the ext family, luks1 for both LUKS versions
    uint64_t start = 0;
    uint64_t super_sector = 0;  // where the superblock that gave the hint lies
};
// Appends the hints sector `s` gives; cheap enough to run on every sector.
void hints_from_sector(byte_view s, uint64_t sector_no, std::vector<fs_hint>* hints);

// Checks a hint against the drive: reads the superblock it names and the
// structures around it. kind none when it does not hold together.
fs_found verify_hint(device_handle& dev, const fs_hint& hint);

// What file system begins at sector `start` (a listed partition's first
// sector): every format tried at its own place. kind none when none is found.
fs_found probe_file_system(device_handle& dev, uint64_t start);

}  // namespace qv::partition
