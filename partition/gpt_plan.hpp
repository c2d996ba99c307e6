#pragma once
// The GPT the repair writes, computed as plain data before anything touches
// the drive: a damaged copy rewritten from the good one, or a new table built
// from the partitions the search found.

#include <QList>
#include <QString>

#include <cstdint>
#include <vector>

#include "partition/disk_table.hpp"
#include "partition/mbr_undo.hpp"
#include "partition/partition_item.hpp"

namespace qv {
class device_handle;
}

namespace qv::partition {

inline constexpr uint32_t gpt_new_entry_count = 128;
inline constexpr uint32_t gpt_new_entry_bytes = 128;
inline constexpr uint64_t gpt_new_array_sectors = gpt_new_entry_count * gpt_new_entry_bytes / 512;  // 32
// What a GPT repair saves before writing: LBA 0-33 and the last 33 LBAs.
inline constexpr uint64_t gpt_saved_head_sectors = 2 + gpt_new_array_sectors;
inline constexpr uint64_t gpt_saved_tail_sectors = 1 + gpt_new_array_sectors;

// "Linux filesystem data" and the other type GUIDs the rebuild writes.
inline constexpr const char* gpt_type_linux_data = "0FC63DAF-8483-4772-8E79-3D69D8477DE4";
inline constexpr const char* gpt_type_basic_data = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";
inline constexpr const char* gpt_type_efi_system = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";
inline constexpr const char* gpt_type_linux_swap = "0657FD6D-A4AB-43C4-84E5-0933C84B4F4F";
inline constexpr const char* gpt_type_linux_luks = "CA7D7CCB-63ED-4C53-861C-1742536059CC";
inline constexpr const char* gpt_type_linux_lvm = "E6D6D379-F507-44C2-A23C-238F2A3DF928";

// The on-disk bytes of "C12A7328-F81F-11D2-BA4B-00A0C93EC93B" (the first three
// groups little-endian); false for text that is not a GUID.
bool guid_from_text(const QString& text, guid_bytes* out);
// A new random GUID (version 4) in on-disk byte order.
guid_bytes new_guid();

// The type GUID for a file system the search names ("ext4", "NTFS", "FAT32",
// ...); efi when the FAT volume holds an /EFI folder. Text form; empty for a
// file system without one (the partition then gets Linux filesystem data).
QString gpt_type_for(const QString& fs_name, bool efi);

// Whether the FAT12/16/32 volume starting at sector `first` has a folder
// named EFI in its root.
bool fat_volume_has_efi(device_handle& dev, uint64_t first);

// protective_mbr: both copies good, sector 0 wiped: only it is written.
enum class gpt_plan_kind { none, repair_primary, repair_backup, rebuild, protective_mbr };

// One run of sectors the plan writes, and why.
struct gpt_write {
    uint64_t lba = 0;
    std::vector<uint8_t> bytes;  // a whole number of sectors
    QString why;
};

struct gpt_plan {
    gpt_plan_kind kind = gpt_plan_kind::none;
    QString drive;
    uint64_t disk_sectors = 0;
    guid_bytes disk_guid{};
    std::vector<listed_partition> partitions;  // what the new table lists, in entry order
    QStringList left_out;                      // found partitions the rebuild cannot hold, and why
    std::vector<gpt_write> writes;             // in ascending LBA order, not overlapping
    // The sectors saved before writing (LBA 0-33 and the last 33) and their
    // contents when the plan was made: the write goes ahead only if they
    // still read the same.
    std::vector<sector_range> saved;
    std::vector<uint8_t> old_bytes;
    // The saved ranges as they will read after the write.
    std::vector<uint8_t> new_bytes;
};

// Why a GPT must not be written over the table as read: a valid MBR that
// lists partitions. Empty when it may go ahead.
QString gpt_write_refusal(const disk_table& table, const QString& drive_path);

// Plans the repair of the damaged or missing GPT copy from the good one (the
// header with its own LBAs and CRC, the entry array), adding a protective MBR
// where sector 0 holds no table. Refuses (-1 and *error) when both copies are
// good or both are gone, or when the good copy's entries do not fit on the
// other side.
int plan_gpt_repair(device_handle& dev, const disk_table& table, const QString& drive_path, gpt_plan* plan,
                    QString* error);

// Plans a new GPT (protective MBR, both headers, both entry arrays; new disk
// and partition GUIDs) listing the found partitions that fit its usable area
// and do not overlap one listed before. -1 and *error when none fits.
int plan_gpt_rebuild(device_handle& dev, const QList<partition_item_s>& found, const QString& drive_path,
                     gpt_plan* plan, QString* error);

// Repair when one copy is good, rebuild from `found` when none is; with both
// good, a protective MBR where sector 0 holds no table, else nothing (-1).
int plan_gpt(device_handle& dev, const disk_table& table, const QList<partition_item_s>& found,
             const QString& drive_path, gpt_plan* plan, QString* error);

// The plan as text: what is written where and why, and the table's partitions.
QString describe_gpt_plan(const gpt_plan& plan);

}  // namespace qv::partition
