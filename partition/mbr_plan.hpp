#pragma once
// The master boot record the repair writes, computed as plain data before
// anything touches the drive, so both the page and the CLI can show it.

#include <QList>
#include <QString>

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "devices/disk_geometry.hpp"
#include "partition/partition_item.hpp"

namespace qv::partition {

inline constexpr size_t mbr_bytes = 512;
inline constexpr size_t mbr_loader_bytes = 440;  // boot code, bytes 0..439
inline constexpr size_t mbr_table_offset = 446;
inline constexpr size_t mbr_entry_bytes = 16;
inline constexpr size_t mbr_entry_count = 4;
inline constexpr size_t mbr_signature_offset = 510;

using sector_bytes_t = std::array<uint8_t, mbr_bytes>;

// A cylinder-head-sector address as its three bytes in an entry.
struct chs_address {
    uint8_t head = 0;
    uint8_t sector = 0;    // bits 0-5 sector (1-based), bits 6-7 cylinder bits 8-9
    uint8_t cylinder = 0;  // cylinder bits 0-7
    uint32_t cylinder_number() const { return cylinder | uint32_t(sector & 0xC0) << 2; }
};

// CHS bytes of a sector number with the drive's heads per cylinder and
// sectors per track. Cylinders above 1023 keep only their low 10 bits.
chs_address chs_of(uint32_t sector, uint32_t heads, uint32_t sectors_per_track);

struct mbr_entry_plan {
    bool used = false;  // filled from a found partition; an unused entry is all zeros
    QString fs_name;
    uint8_t boot_indicator = 0;
    chs_address start_chs;
    uint8_t type = 0;
    chs_address end_chs;
    uint32_t first_sector = 0;
    uint32_t sector_count = 0;
};

// One extended boot record of the chain that holds the logical partitions:
// where it goes and the logical partition it describes.
struct ebr_plan {
    uint64_t lba = 0;             // the record's own sector
    sector_bytes_t old_sector{};  // that sector as read (filled by the drive's planner)
    sector_bytes_t new_sector{};  // what the repair writes there
    mbr_entry_plan logical;       // the partition, with its absolute first sector
};

struct mbr_plan {
    QString drive;         // drive path the plan was made for
    uint32_t heads = 255;  // geometry used for the CHS values
    uint32_t sectors_per_track = 63;
    sector_bytes_t old_sector{};  // the first sector as read
    sector_bytes_t new_sector{};  // what the repair writes
    std::array<mbr_entry_plan, mbr_entry_count> entries{};
    // With more than four partitions found: entry 4 is an extended partition
    // and these records chain the rest as logical partitions 5, 6, ...
    std::vector<ebr_plan> ebrs;
    int left_out = 0;  // found partitions not written (more than four and no chain possible)
};

// Writes one 16-byte partition entry (boot byte, CHS, type, first sector, count).
void write_mbr_entry(uint8_t* entry, const mbr_entry_plan& plan);

// Builds the new first sector: the boot loader over bytes 0..439, the disk
// signature and the two bytes after it as read, entries 1..4 from the first
// four found partitions (entry 1 active; entries 2..4 keep the boot byte read
// when it is 0x00 or 0x80), unused entries zeroed, and 0x55 0xAA. With more
// than four found and `chain_logicals`, the partitions in disk order go in as
// three primaries and an extended partition whose chain of boot records holds
// the rest, when each of those has a free sector before it for its record
// (see ebr_chain.hpp); otherwise the first four are written and the rest
// counted in left_out. The chain's old sectors are left for the caller to
// fill from the drive. Refuses
// (-1 with *error) an empty list and a partition that an MBR cannot describe:
// start or sector count beyond 32 bits, or an end past drive_sectors (when
// nonzero). A geometry outside 1..255 heads or 1..63 sectors per track is
// replaced by 255 and 63.
int plan_partition_table(std::span<const uint8_t, mbr_bytes> old_sector,
                         const QList<partition_item_s>& found, const disk_geometry& geometry,
                         uint64_t drive_sectors, mbr_plan* plan, QString* error,
                         bool chain_logicals = true);

// The plan as text: one line for the drive, one per entry with boot flag,
// type, CHS and LBA values, one per logical partition with its record's
// sector, one for what is kept from the old sector.
QString describe_plan(const mbr_plan& plan);

}  // namespace qv::partition
