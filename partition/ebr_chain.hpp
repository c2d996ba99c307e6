#pragma once
// The chain of extended boot records an MBR repair writes for the partitions
// after the third when more than four were found: where each record goes
// and what it holds.

#include <QList>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

#include "partition/mbr_plan.hpp"
#include "partition/partition_item.hpp"

namespace qv::partition {

inline constexpr uint8_t mbr_type_extended_lba = 0x0F;  // the extended partition in sector 0
inline constexpr uint8_t mbr_type_ebr_link = 0x05;      // a record's link to the next record
// Partitioning tools leave a MiB between a record and its partition.
inline constexpr uint64_t ebr_preferred_gap = 2048;

struct logical_chain {
    uint64_t first = 0;  // the extended partition: from the first record
    uint64_t last = 0;   // to the last logical partition's last sector
    std::vector<ebr_plan> records;
};

// Lays out `logicals` (in disk order, none starting at or before `after`, the
// last sector the primaries use) as a chain. Each record goes 2048 sectors
// before its partition when that sector is free, else into the first free
// sector after the partition before it; its first entry gives the partition
// relative to the record, its second the next record relative to the
// extended partition's start (zeros in the last). No chain, with *why, when
// a partition has no free sector before it or the chain lies beyond 32 bits.
std::optional<logical_chain> plan_logical_chain(const QList<partition_item_s>& logicals, uint64_t after,
                                                uint32_t heads, uint32_t sectors_per_track, QString* why);

}  // namespace qv::partition
