#include "partition/boot_sector_tests.hpp"

#include "fat/fat_layout.hpp"
#include "exfat/boot_region.hpp"

namespace qv::partition {
namespace {

constexpr size_t signature_offset = fat::bs_signature;  // 0x55 0xAA
constexpr size_t oem_name_offset = fat::bpb_oem_name;
constexpr size_t ntfs_total_sectors_offset = 0x28;   // 64-bit, one less than the volume's sectors
constexpr size_t fat32_total_sectors_offset = fat::bpb_total_sectors32;  // 32-bit

bool has_signature(byte_view chunk, size_t sector_at) {
    return chunk.u8(sector_at + signature_offset) == 0x55 &&
           chunk.u8(sector_at + signature_offset + 1) == 0xAA;
}

// A FAT32 parameter block that holds together, whatever program wrote it
// (mkfs.fat, cameras and phones put their own names where Windows puts
// "MSWIN4.1" or "MSDOS5.0").
bool has_fat32_parameters(byte_view chunk, size_t at) {
    const uint32_t per_cluster = chunk.u8(at + fat::bpb_sectors_per_cluster);
    const uint32_t reserved = chunk.le16(at + fat::bpb_reserved_sectors);
    const uint32_t fats = chunk.u8(at + fat::bpb_fat_count);
    const uint64_t per_fat = chunk.le32(at + fat::bpb_sectors_per_fat32);
    const uint64_t total = chunk.le32(at + fat32_total_sectors_offset);
    const uint32_t media = chunk.u8(at + fat::bpb_media);
    return chunk.le16(at + fat::bpb_bytes_per_sector) == sector_bytes && per_cluster != 0 &&
           (per_cluster & (per_cluster - 1)) == 0 && reserved != 0 && (fats == 1 || fats == 2) &&
           chunk.le16(at + fat::bpb_root_entries) == 0 && chunk.le16(at + fat::bpb_total_sectors16) == 0 &&
           chunk.le16(at + fat::bpb_sectors_per_fat16) == 0 && per_fat != 0 && total > reserved + fats * per_fat &&
           (media == 0xF0 || media >= 0xF8) && chunk.equals(at + fat::bs_fs_type32, "FAT32   ");
}

}  // namespace

boot_candidate examine_boot_sector(byte_view chunk, size_t at) {
    if (!chunk.has(at, sector_bytes) || !has_signature(chunk, at)) return {};

    if (chunk.equals(at + oem_name_offset, "NTFS    ")) {
        uint64_t length = chunk.le64(at + ntfs_total_sectors_offset) + 1;  // wraps to 0 at the top
        if (length != 0) return {boot_kind::ntfs, length};
    }

    uint64_t exfat_sectors = 0;
    if (exfat::looks_like_boot_sector(chunk.sub(at, sector_bytes), &exfat_sectors))
        return {boot_kind::exfat, exfat_sectors};

    size_t next = at + sector_bytes;
    if (chunk.has(next, sector_bytes) && has_signature(chunk, next) &&
        (chunk.equals(at + oem_name_offset, "MSWIN") || chunk.equals(at + oem_name_offset, "MSDOS") ||
         has_fat32_parameters(chunk, at))) {
        uint64_t length = chunk.le32(at + fat32_total_sectors_offset);
        if (length != 0) return {boot_kind::fat32, length};
    }
    return {};
}

}  // namespace qv::partition
