#include "partition/boot_sector_tests.hpp"

#include "engine/fat_layout.hpp"
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
        (chunk.equals(at + oem_name_offset, "MSWIN") ||
         chunk.equals(at + oem_name_offset, "MSDOS"))) {
        uint64_t length = chunk.le32(at + fat32_total_sectors_offset);
        if (length != 0) return {boot_kind::fat32, length};
    }
    return {};
}

}  // namespace qv::partition
