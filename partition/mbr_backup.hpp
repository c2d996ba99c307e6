#pragma once
// Backup files of the first sectors the repair and the restore replace.

#include <QString>

#include <cstdint>
#include <span>
#include <vector>

#include "partition/mbr_plan.hpp"

namespace qv::partition {

// "<AppLocalDataLocation>/mbr-backups": where the repair keeps the sectors it replaces.
QString default_backup_dir();

// Writes a 512-byte sector to a new file in dir (created when missing),
// named after the drive and the UTC time ("mbr-sdb-20240501-101500-123.bin").
// The file is flushed to disk and read back before it counts as saved.
// 0 and *path, or -1 and *error with no file left behind.
int save_sector_backup(const QString& dir, const QString& drive_path,
                       std::span<const uint8_t, mbr_bytes> sector, QString* path, QString* error);

// The same for any run of sectors (a GPT's first 34 and last 33 sectors, say):
// the bytes as they are, in a file named "<prefix>-<drive>-<time>.bin".
int save_sectors_backup(const QString& dir, const QString& drive_path, const QString& prefix,
                        std::span<const uint8_t> bytes, QString* path, QString* error);

// Reads a backup of several sectors: exactly `expected_bytes` long. 0, or -1 and *error.
int load_sectors_backup(const QString& file, uint64_t expected_bytes, std::vector<uint8_t>* bytes,
                        QString* error);

// Reads a backup file: exactly 512 bytes, ending in 0x55 0xAA when
// need_signature. 0, or -1 and *error.
int load_sector_backup(const QString& file, sector_bytes_t* sector, QString* error,
                       bool need_signature = true);

}  // namespace qv::partition
