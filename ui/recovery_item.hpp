#pragma once
// One row of the file table: a found file as the recovery page lists, ticks and recovers it.

#include <QMetaType>
#include <QString>

#include <cstdint>

#include "engine/engine_choice.hpp"
#include "engine/found_item.hpp"

struct recovery_item_s {
    QString name;
    uint64_t size = 0;  // bytes
    int64_t date1 = 0;  // seconds since 1970 UTC (modified for FAT and NTFS)
    int64_t date2 = 0;  // seconds since 1970 UTC (created for FAT and NTFS)
    uint64_t id = 0;    // what the engine's recover_file and build_item_path take
    // The engine's attribute byte: FAT attributes, NTFS flags, 0 for a deep scan.
    int32_t attributes = 0;
    uint32_t ticked = 0;  // 1 when the row is ticked for recovery
    qv::item_state state = qv::item_state::unknown;  // how much of it can still be had
    QString short_name;   // FAT: the original "#"-first short name when a long name was recovered
};

Q_DECLARE_METATYPE(recovery_item_s)

namespace qv::ui {

// NTFS rows: set in attributes when the file is deleted (recovered through the
// NTFS library); clear for a file that still exists (copied through the file system).
inline constexpr int32_t ntfs_row_deleted = 0x80;

}  // namespace qv::ui
