#include "engine/volume_cluster.hpp"

#include <cstring>

#include "devices/device_handle.hpp"
#include "devices/le_bytes.hpp"

namespace qv {

namespace {

constexpr size_t boot_size = 512;
constexpr size_t oem_name_at = 3;            // "NTFS    ", "EXFAT   "
constexpr size_t bytes_per_sector_at = 11;   // FAT, NTFS
constexpr size_t sectors_per_cluster_at = 13;
constexpr size_t fat16_type_at = 54, fat32_type_at = 82;  // "FAT12   ", "FAT16   ", "FAT32   "
constexpr size_t exfat_sector_shift_at = 108, exfat_cluster_shift_at = 109;
constexpr size_t boot_mark_at = 510;
constexpr uint64_t ext_superblock_at = 1024;
constexpr size_t ext_log_block_size_at = 24, ext_magic_at = 56;
constexpr uint16_t ext_magic = 0xEF53;
constexpr uint64_t largest_cluster = uint64_t(32) << 20;

bool power_of_two(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

uint64_t checked(uint64_t cluster) {
    return power_of_two(cluster) && cluster >= 512 && cluster <= largest_cluster ? cluster : 0;
}

}  // namespace

uint64_t volume_cluster_size(device_handle& device) {
    uint8_t boot[boot_size];
    if (device.read_exact(0, boot, sizeof boot)) {
        const byte_view b(boot, sizeof boot);
        const bool marked = b.le16(boot_mark_at) == 0xAA55;
        if (std::memcmp(boot + oem_name_at, "EXFAT   ", 8) == 0) {
            const unsigned shift = unsigned(b.u8(exfat_sector_shift_at)) + b.u8(exfat_cluster_shift_at);
            return shift < 32 ? checked(uint64_t(1) << shift) : 0;
        }
        if (std::memcmp(boot + oem_name_at, "NTFS    ", 8) == 0) {
            const uint8_t spc = b.u8(sectors_per_cluster_at);
            // Above 128 the field is a negative power of two: 2^(256 - value) sectors.
            const uint64_t sectors = spc <= 0x80 ? spc : (256 - spc < 32 ? uint64_t(1) << (256 - spc) : 0);
            return checked(sectors * b.le16(bytes_per_sector_at));
        }
        if (marked && (std::memcmp(boot + fat16_type_at, "FAT1", 4) == 0 ||
                       std::memcmp(boot + fat32_type_at, "FAT32", 5) == 0))
            return checked(uint64_t(b.u8(sectors_per_cluster_at)) * b.le16(bytes_per_sector_at));
    }
    uint8_t super[64];
    if (device.read_exact(ext_superblock_at, super, sizeof super)) {
        const byte_view s(super, sizeof super);
        if (s.le16(ext_magic_at) == ext_magic) {
            const uint32_t log = s.le32(ext_log_block_size_at);
            return log < 16 ? checked(uint64_t(1024) << log) : 0;
        }
    }
    return 0;
}

}  // namespace qv
