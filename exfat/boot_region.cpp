#include "exfat/boot_region.hpp"

#include <vector>

#include "exfat/exfat_layout.hpp"

namespace qv::exfat {

namespace {

constexpr uint8_t jump_bytes[3] = {0xEB, 0x76, 0x90};

bool has_jump_name_signature(byte_view s) {
    return s.has(0, boot::parsed_bytes) && s.equals(boot::jump, jump_bytes) &&
           s.equals(boot::name, "EXFAT   ") && s.u8(boot::signature) == 0x55 &&
           s.u8(boot::signature + 1) == 0xAA;
}

// Reads one boot region at byte offset `at` and checks it; sector_shift, when
// nonzero, is the sector size the region must state (the backup's place
// depends on it).
std::optional<geometry> read_region(device_handle& device, uint64_t at, uint32_t sector_shift) {
    uint8_t first[boot::parsed_bytes];
    if (!device.read_exact(at, first, sizeof first)) return std::nullopt;
    auto g = parse_boot_sector(byte_view(first, sizeof first));
    if (!g) return std::nullopt;
    if (sector_shift != 0 && g->sector_size != (1u << sector_shift)) return std::nullopt;

    std::vector<uint8_t> region(size_t(boot::region_sectors) * g->sector_size);
    if (!device.read_exact(at, region.data(), region.size())) return std::nullopt;
    byte_view view(region.data(), region.size());
    uint32_t sum = boot_checksum(view.sub(0, size_t(boot::checksum_sector) * g->sector_size),
                                 g->sector_size);
    // The checksum sector repeats the sum in every 4-byte slot.
    const size_t checksum_at = size_t(boot::checksum_sector) * g->sector_size;
    for (size_t i = 0; i < g->sector_size; i += 4)
        if (view.le32(checksum_at + i) != sum) return std::nullopt;
    return g;
}

}  // namespace

std::optional<geometry> parse_boot_sector(byte_view s) {
    if (!has_jump_name_signature(s)) return std::nullopt;
    for (size_t i = 0; i < boot::must_be_zero_length; ++i)
        if (s.u8(boot::must_be_zero + i) != 0) return std::nullopt;

    const uint32_t sector_shift = s.u8(boot::sector_shift);
    const uint32_t cluster_shift = s.u8(boot::cluster_shift);
    if (sector_shift < boot::min_sector_shift || sector_shift > boot::max_sector_shift) return std::nullopt;
    if (sector_shift + cluster_shift > boot::max_cluster_bytes_shift) return std::nullopt;
    const uint8_t fats = s.u8(boot::fat_count);
    if (fats != 1 && fats != 2) return std::nullopt;

    geometry g;
    g.sector_size = 1u << sector_shift;
    g.cluster_size = 1u << (sector_shift + cluster_shift);
    g.fat_count = fats;
    const uint64_t volume_sectors = s.le64(boot::volume_length);
    const uint64_t fat_sector = s.le32(boot::fat_offset);
    const uint64_t fat_sectors = s.le32(boot::fat_length);
    const uint64_t heap_sector = s.le32(boot::heap_offset);
    const uint64_t clusters = s.le32(boot::cluster_count);
    // Sector counts fit in 64 bits only below 2^52 sectors of 4 KiB.
    if (volume_sectors > (uint64_t(1) << 52)) return std::nullopt;
    if (fat_sector < 2 * boot::region_sectors || fat_sectors == 0) return std::nullopt;
    if (heap_sector < fat_sector + fat_sectors * fats) return std::nullopt;
    if (heap_sector >= volume_sectors) return std::nullopt;
    if (clusters == 0 || clusters > fat::max_cluster_count) return std::nullopt;
    // The FAT must hold an entry for every cluster plus the two reserved ones.
    if ((fat_sectors << sector_shift) / 4 < clusters + 2) return std::nullopt;

    g.volume_bytes = volume_sectors << sector_shift;
    g.fat_offset = fat_sector << sector_shift;
    g.fat_bytes = fat_sectors << sector_shift;
    g.heap_offset = heap_sector << sector_shift;
    // Clusters that fit in the volume as stated.
    const uint64_t room = (g.volume_bytes - g.heap_offset) >> (sector_shift + cluster_shift);
    g.cluster_count = uint32_t(clusters < room ? clusters : room);
    if (g.cluster_count == 0) return std::nullopt;
    g.root_cluster = s.le32(boot::root_cluster);
    if (!g.valid_cluster(g.root_cluster)) return std::nullopt;
    g.serial = s.le32(boot::serial);
    g.volume_flags = s.le16(boot::volume_flags);
    return g;
}

uint32_t boot_checksum(byte_view region, uint32_t sector_size) {
    uint32_t sum = 0;
    const size_t n = region.size();
    const uint8_t* p = region.data();
    for (size_t i = 0; i < n; ++i) {
        if (i < sector_size &&
            (i == boot::volume_flags || i == boot::volume_flags + 1 || i == boot::percent_in_use))
            continue;
        sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + p[i];
    }
    return sum;
}

std::optional<geometry> read_boot_region(device_handle& device) {
    std::optional<geometry> g = read_region(device, 0, 0);
    if (!g) {
        // The backup sits 12 sectors in; the sector size comes from the backup itself.
        for (uint32_t shift = boot::min_sector_shift; shift <= boot::max_sector_shift && !g; ++shift) {
            g = read_region(device, uint64_t(boot::region_sectors) << shift, shift);
            if (g) g->from_backup = true;
        }
    }
    if (!g) return std::nullopt;
    // A truncated image: only clusters that lie (at least partly) on the device are used.
    const uint64_t length = device.length();
    if (length <= g->heap_offset) return std::nullopt;
    const uint64_t on_device = (length - g->heap_offset + g->cluster_size - 1) / g->cluster_size;
    if (on_device < g->cluster_count) g->cluster_count = uint32_t(on_device);
    if (!g->valid_cluster(g->root_cluster)) return std::nullopt;
    return g;
}

bool looks_like_boot_sector(byte_view sector, uint64_t* sectors_512) {
    if (!has_jump_name_signature(sector)) return false;
    const uint32_t shift = sector.u8(boot::sector_shift);
    if (shift < boot::min_sector_shift || shift > boot::max_sector_shift) return false;
    const uint64_t length = sector.le64(boot::volume_length);
    if (length == 0 || length > (uint64_t(1) << 52)) return false;
    if (sectors_512) *sectors_512 = length << (shift - boot::min_sector_shift);
    return true;
}

}  // namespace qv::exfat
