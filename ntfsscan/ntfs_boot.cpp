#include "ntfsscan/ntfs_boot.hpp"

#include <bit>

#include "ntfsscan/ntfs_layout.hpp"

namespace qv::ntfs {

namespace {

constexpr uint32_t max_cluster_size = 2u << 20;  // 2 MiB, the largest cluster NTFS formats
constexpr uint32_t min_record_size = 512;
constexpr uint32_t max_record_size = 64u << 10;

bool power_of_two(uint64_t v) { return v != 0 && std::has_single_bit(v); }

}  // namespace

std::optional<boot_geometry> parse_boot_sector(byte_view sector) {
    if (!sector.has(0, boot::size) || !sector.equals(boot::oem_id, "NTFS    ")) return std::nullopt;

    boot_geometry g;
    g.bytes_per_sector = sector.le16(boot::bytes_per_sector);
    if (!power_of_two(g.bytes_per_sector) || g.bytes_per_sector < 256 || g.bytes_per_sector > 4096)
        return std::nullopt;

    // Values above 0x80 are negative exponents (clusters above 64 KiB); 0x80 itself means 128.
    uint8_t spc = sector.u8(boot::sectors_per_cluster);
    uint64_t sectors_per_cluster = 0;
    if (spc > 0x80) {
        unsigned shift = 256u - spc;
        if (shift > 20) return std::nullopt;
        sectors_per_cluster = uint64_t(1) << shift;
    } else {
        sectors_per_cluster = spc;
    }
    if (!power_of_two(sectors_per_cluster)) return std::nullopt;
    uint64_t cluster = sectors_per_cluster * g.bytes_per_sector;
    if (cluster > max_cluster_size) return std::nullopt;
    g.cluster_size = uint32_t(cluster);

    // Positive: clusters per record; negative: the record size is 2^-n bytes.
    auto per_record = int8_t(sector.u8(boot::clusters_per_record));
    uint64_t record = 0;
    if (per_record > 0) {
        record = uint64_t(per_record) * g.cluster_size;
    } else if (per_record < 0 && per_record > -31) {
        record = uint64_t(1) << unsigned(-per_record);
    }
    if (!power_of_two(record) || record < min_record_size || record > max_record_size)
        return std::nullopt;
    g.record_size = uint32_t(record);

    uint64_t total_sectors = sector.le64(boot::total_sectors);
    if (total_sectors < sectors_per_cluster || total_sectors > (uint64_t(1) << 52)) return std::nullopt;
    // Runs are checked against the volume as declared; reads past the end of
    // a truncated image come back short and are treated as unreadable.
    g.cluster_count = total_sectors / sectors_per_cluster;

    g.mft_lcn = sector.le64(boot::mft_lcn);
    g.mftmirr_lcn = sector.le64(boot::mftmirr_lcn);
    if (g.mft_lcn >= g.cluster_count) return std::nullopt;
    return g;
}

}  // namespace qv::ntfs
