#pragma once
// One partition found by the lost-partition search.

#include <QMetaType>
#include <QString>

#include <cstdint>

struct partition_item_s {
    QString fs_name;             // "NTFS", "exFAT", "FAT32", "ext4", "btrfs", ...; empty when not recognised
    int32_t partition_type = 0;  // MBR type byte the repair writes: 0x07 NTFS and exFAT, 0x0C FAT32, 0x83 Linux, ...
    uint64_t start_sector = 0;   // first sector, in 512-byte sectors from the drive's start
    uint64_t end_sector = 0;     // last sector, inclusive
    QString label = {};          // the file system's own label, where it keeps one
    bool listed = false;         // the drive's partition table lists it: present, not lost
};

Q_DECLARE_METATYPE(partition_item_s)

namespace qv::partition {

// Registers partition_item_s with Qt's meta-type system under its own name.
void register_partition_meta_types();

}  // namespace qv::partition
