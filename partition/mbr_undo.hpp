#pragma once
// The undo record kept next to each first-sector backup: which drive it came
// from and what the repair wrote, so a restore puts back exactly what was there
// only onto that drive and only while the written sector is still in place.

#include <QString>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "partition/mbr_plan.hpp"

namespace qv::partition {

// What identifies a drive across reboots: size always, model and serial where
// the drive reports them (block devices), the path as the last resort.
struct drive_identity {
    QString path;
    uint64_t sectors = 0;  // 512-byte sectors
    QString model;
    QString serial;
};

// A run of 512-byte sectors a change replaced.
struct sector_range {
    uint64_t lba = 0;
    uint64_t count = 0;
};

struct undo_record {
    drive_identity drive;
    QString time;           // UTC, ISO 8601
    QString written_sha256; // lowercase hex of the bytes the change wrote, the ranges' in order
    // The sectors the backup holds, in file order; empty for a one-sector
    // backup of the first sector (every backup made before GPT writing).
    std::vector<sector_range> ranges;
};

// The ranges a record covers: its own, or the first sector alone.
std::vector<sector_range> record_ranges(const undo_record& record);
// Sum of the ranges' bytes; 0 when a range is empty or the sum overflows.
uint64_t ranges_bytes(const std::vector<sector_range>& ranges);

// The drive's identity: sectors from sector_count, model and serial from sysfs
// and the udev database for block devices (empty for image files).
drive_identity identify_drive(const QString& path, uint64_t sector_count);

// "<backup>.json".
QString undo_record_path(const QString& backup_file);
// Lowercase hex SHA-256 of a sector.
QString sector_sha256(const sector_bytes_t& sector);
QString bytes_sha256(std::span<const uint8_t> bytes);

// Writes the record next to backup_file atomically (temporary file, fsync,
// rename). 0, or -1 and *error.
int save_undo_record(const QString& backup_file, const undo_record& record, QString* error);
// Reads the record next to backup_file: none when there is no such file;
// a record with an empty written_sha256 and *error set when it is unreadable.
std::optional<undo_record> load_undo_record(const QString& backup_file, QString* error);

// Why a restore of `record` onto a drive that is `current` and whose first
// sector is `first` must be refused; empty when it may go ahead.
QString undo_refusal(const undo_record& record, const drive_identity& current,
                     const sector_bytes_t& first);
// The same for any backup: `current_bytes` are the record's ranges as they
// read now.
QString undo_refusal(const undo_record& record, const drive_identity& current,
                     std::span<const uint8_t> current_bytes);

}  // namespace qv::partition
