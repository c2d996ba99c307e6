#pragma once
// Reads a drive's own partition tables (MBR with its chain of logical
// partitions, GPT with both copies) into plain data, checked field by field.

#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <vector>

namespace qv {
class device_handle;
}

namespace qv::partition {

inline constexpr uint64_t gpt_header_lba = 1;
inline constexpr size_t gpt_entry_min_bytes = 128;
inline constexpr uint32_t gpt_header_min_bytes = 92;
inline constexpr uint8_t mbr_type_gpt_protective = 0xEE;

using guid_bytes = std::array<uint8_t, 16>;

// "C12A7328-F81F-11D2-BA4B-00A0C93EC93B" from the on-disk byte order.
QString guid_text(const guid_bytes& g);
bool guid_is_zero(const guid_bytes& g);

// One partition a table lists, in 512-byte sectors from the drive's start.
struct listed_partition {
    uint64_t first = 0;
    uint64_t last = 0;         // inclusive
    uint8_t mbr_type = 0;      // MBR: the type byte; GPT: 0
    bool logical = false;      // MBR: inside the extended partition
    guid_bytes type_guid{};    // GPT only
    guid_bytes unique_guid{};  // GPT only
    QString name;              // GPT only
};

enum class gpt_copy_state { missing, damaged, good };

// One GPT header with its entry array, as read and checked.
struct gpt_copy {
    gpt_copy_state state = gpt_copy_state::missing;
    QString problem;  // why it is damaged; empty when good or missing
    uint64_t header_lba = 0;
    uint64_t alternate_lba = 0;
    uint64_t first_usable = 0;
    uint64_t last_usable = 0;
    uint64_t entries_lba = 0;
    uint32_t entry_count = 0;
    uint32_t entry_bytes = 0;
    guid_bytes disk_guid{};
    std::vector<listed_partition> partitions;  // the used entries, in entry order
};

enum class table_kind { none, mbr, gpt };

struct disk_table {
    table_kind kind = table_kind::none;
    uint64_t disk_sectors = 0;
    bool protective_mbr = false;  // sector 0 holds an entry of type 0xEE
    gpt_copy primary;             // header at LBA 1
    gpt_copy backup;              // header at the last LBA
    // The partitions the table in force lists (GPT: the primary copy when it
    // is good, else the backup; MBR: primaries then logicals), without the
    // extended partition itself; sorted by first sector.
    std::vector<listed_partition> partitions;
    size_t mbr_listed = 0;        // partitions a valid (non-protective) MBR in sector 0 lists
    QStringList problems;  // what is wrong with the MBR or its chain of logical partitions

    bool gpt_good() const {
        return primary.state == gpt_copy_state::good || backup.state == gpt_copy_state::good;
    }
    bool mbr_good() const { return kind == table_kind::mbr; }
};

// Reads sector 0, the GPT headers at LBA 1 and at the last LBA and their
// entry arrays, and the chain of extended boot records. Never fails: what
// cannot be read or does not hold together is reported in the result.
disk_table read_disk_table(device_handle& dev);

// One line on the table: "GPT: both copies good, 6 partitions",
// "GPT: primary damaged (header CRC wrong), backup good", "MBR: 3 partitions
// (1 logical)", "no partition table".
QString describe_table(const disk_table& table);

// "gpt", "mbr" or "none".
const char* table_kind_name(table_kind kind);
// "good", "damaged" or "missing".
const char* gpt_copy_state_name(gpt_copy_state state);

}  // namespace qv::partition
