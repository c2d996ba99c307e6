#pragma once
// The process-wide drive and volume lists that the pages, engines and
// partition search start from.

#include <QList>
#include <QMetaType>
#include <QString>

#include <atomic>
#include <cstdint>
#include <optional>

#include "devices/disk_geometry.hpp"

// One physical drive (or an opened image file).
struct drive_item_s {
    QString name;                          // "/dev/sdb" or the image path; empty in the heading entry
    int64_t size = 0;                      // bytes
    std::optional<qv::disk_geometry> geometry;  // none only in the heading entry
    bool needs_authorization = false;      // readable after a password (udisks2 or pkexec)
};

// One volume: a partition, or a whole drive that carries a file system.
struct volume_item_s {
    QString device_name;   // volume path: "/dev/sdb1", "/data/card.img#1", "/data/card.img"
    QString volume_name;   // the same path; a saved deep-scan result finds its volume by it
    QString label;
    QString file_system;   // "FAT12", "FAT16", "FAT32", "NTFS", "exFAT", "ext4", ... or empty
    QString mount_path;    // first mount point, else the volume path; empty in the heading entry
    uint64_t total_bytes = 0;
    uint64_t free_bytes = 0;
    // False while free_bytes is not known (a volume that is not mounted and
    // whose file system has not been counted): the page says so.
    bool free_known = true;
    int32_t partition_number = 0;  // 0 for a whole-drive volume, -1 when unknown
    int32_t disk_number = 0;       // drive number, -1 when unknown
    bool needs_authorization = false;  // readable after a password (udisks2 or pkexec)
};

Q_DECLARE_METATYPE(drive_item_s)
Q_DECLARE_METATYPE(volume_item_s)

// Entry 0 of each list is the empty heading entry; drives follow in drive
// number order, volumes in the order of their mount paths.
extern QList<drive_item_s> drive_items;
extern QList<volume_item_s> volume_items;
// 1 once the start-up worker has filled both lists and opened the drives; never reset.
extern std::atomic<int> init_ready;

// Rebuilds drive_items from the device catalog. Always 0.
int enumerate_drives();
// Rebuilds volume_items from the device catalog. 0, or -1 (list left empty)
// when no drive can be listed at all.
int enumerate_volumes();

namespace qv {

// Registers drive_item_s and volume_item_s with Qt's meta-type system.
void register_device_meta_types();

}  // namespace qv
