#pragma once
// Plan, back up, apply: the only code that writes to a drive.

#include <QList>
#include <QString>

#include "devices/volume_items.hpp"
#include "partition/disk_table.hpp"
#include "partition/gpt_plan.hpp"
#include "partition/mbr_backup.hpp"
#include "partition/mbr_plan.hpp"
#include "partition/mbr_undo.hpp"

#include <functional>
#include <span>
#include <vector>

namespace qv::partition {

// What a repair or restore did, for the page and the CLI to report.
struct repair_report {
    QString drive;
    QString backup_path;   // where the replaced sector was saved; empty when nothing was saved
    QString error;         // why nothing (or not all) was written; empty on success
    bool written = false;  // the new sector is on the drive and read back equal
    mbr_plan plan;         // for a repair: the sector written (or that would have been)
    gpt_plan gpt;          // for a GPT repair: the sectors written (or that would have been)
};

// Says why the sectors `current` of the drive `identity` must not be
// replaced; empty to go ahead.
using sector_check =
    std::function<QString(const drive_identity& identity, std::span<const uint8_t> current)>;

// Writes `bytes` over the sector ranges (in order) of a drive opened for
// writing (a block device exclusively). The ranges as they read are first
// saved to a backup "<backup_prefix>-<drive>-<time>.bin" with its undo record;
// without both nothing is written. With `expected` the ranges must still hold
// exactly those bytes; with `check` that must agree too. Written, flushed and
// read back. 0, or -1 with report->error.
int replace_sectors(const QString& drive_path, const std::vector<sector_range>& ranges,
                    const std::vector<uint8_t>* expected, const std::vector<uint8_t>& bytes,
                    const QString& backup_dir, const QString& backup_prefix, repair_report* report,
                    const sector_check& check = {});

// Why an MBR must not be written over the drive's table as read: a GPT
// with a good copy (an MBR in its place would hide every partition it lists
// but the first four found). Empty when it may go ahead.
QString mbr_write_refusal(const disk_table& table, const QString& drive_path);

// Reads the drive's first sector and its tables (read-only) and builds the
// repair's plan from the found partitions. A drive whose GPT is valid is
// refused (see mbr_write_refusal) unless force. 0, or -1 and *error.
int plan_partition_repair(const drive_item_s& drive, const QList<partition_item_s>& found,
                          mbr_plan* plan, QString* error, bool force = false);

// Writes plan.new_sector over the drive's first sector, and each record of
// the plan's chain of logical partitions over its sector. The drive is opened
// for writing (a block device exclusively, so a mounted drive is refused);
// the sectors must still hold what the plan read; they are saved to a backup
// file in backup_dir first (with the ranges in its undo record when there is
// a chain), and without a backup nothing is written. The sectors are then
// written, flushed and read back; a block device is asked to re-read its
// partition table. 0 when written, -1 with report->error.
int apply_partition_plan(const mbr_plan& plan, const QString& backup_dir, repair_report* report);

// Writes a GPT plan: the sectors it saves (LBA 0-33 and the last 33) must
// still read as when it was planned; they go to a backup "gpt-<drive>-<time>.bin"
// with an undo record naming the ranges, then the new sectors are written and
// read back. 0 when written, -1 with report->error.
int apply_gpt_plan(const gpt_plan& plan, const QString& backup_dir, repair_report* report);

// Every backup gets an undo record next to it (see mbr_undo.hpp).
//
// Puts a saved first sector back on the drive, saving the sector it replaces
// in backup_dir first. With an undo record the saved bytes go back whatever
// they hold, but only onto the drive they came from and only while its first
// sector is still the one written then; a backup without a record must end
// in 55 AA. force skips those checks. 0, or -1 with report->error.
int restore_partition_table(const QString& drive_path, const QString& backup_file,
                            const QString& backup_dir = default_backup_dir(),
                            repair_report* report = nullptr, bool force = false);

}  // namespace qv::partition
