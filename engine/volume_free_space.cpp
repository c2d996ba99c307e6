#include "engine/volume_free_space.hpp"

#include <vector>

#include "devices/device_catalog.hpp"
#include "devices/le_bytes.hpp"
#include "engine/fat_allocation.hpp"
#include "fat/fat_layout.hpp"
#include "engine/scanner.hpp"

namespace qv {

namespace {

constexpr size_t boot_bytes = 512;
constexpr uint32_t sector_bytes = 512;
constexpr uint32_t fat12_max_clusters = 4085;
constexpr uint32_t fat16_max_clusters = 65525;
// No FAT32 table is larger (2^28 entries of 4 bytes).
constexpr uint64_t max_table_bytes = uint64_t(1) << 30;

}  // namespace

std::optional<fat_volume_map> read_fat_volume_map(device_handle& device) {
    std::vector<uint8_t> boot(boot_bytes);
    if (!device.read_exact(0, boot.data(), boot.size())) return std::nullopt;
    byte_view bs(boot.data(), boot.size());
    if (bs.le16(fat::bs_signature) != fat::boot_signature || bs.le16(fat::bpb_bytes_per_sector) != sector_bytes) return std::nullopt;
    uint32_t spc = bs.u8(fat::bpb_sectors_per_cluster), fats = bs.u8(fat::bpb_fat_count);
    uint32_t reserved = bs.le16(fat::bpb_reserved_sectors), root_entries = bs.le16(fat::bpb_root_entries);
    uint64_t total = bs.le16(fat::bpb_total_sectors16);
    if (total == 0) total = bs.le32(fat::bpb_total_sectors32);
    uint64_t per_fat = bs.le16(fat::bpb_sectors_per_fat16);
    if (per_fat == 0) per_fat = bs.le32(fat::bpb_sectors_per_fat32);
    if (spc == 0 || (spc & (spc - 1)) != 0 || fats == 0 || fats > 2 || reserved == 0 || per_fat == 0)
        return std::nullopt;
    uint64_t system = reserved + per_fat * fats + (uint64_t(root_entries) * 32 + sector_bytes - 1) / sector_bytes;
    if (total <= system || total * sector_bytes > device.length() + sector_bytes) return std::nullopt;
    uint64_t clusters = (total - system) / spc;
    if (clusters == 0 || clusters > 0x0FFFFFF5) return std::nullopt;
    int bits = clusters < fat12_max_clusters ? 12 : clusters < fat16_max_clusters ? 16 : 32;
    uint64_t need = bits == 12 ? ((clusters + 2) * 3 + 1) / 2 : (clusters + 2) * uint64_t(bits / 8);
    uint64_t table_bytes = per_fat * sector_bytes;
    if (table_bytes < need || need > max_table_bytes) return std::nullopt;
    std::vector<uint8_t> table(static_cast<size_t>(need));
    if (!device.read_exact(uint64_t(reserved) * sector_bytes, table.data(), table.size())) return std::nullopt;
    auto map = fat_allocation::from_table(byte_view(table.data(), table.size()), bits, uint32_t(clusters + 2));
    if (!map.complete()) return std::nullopt;
    return fat_volume_map{std::move(map), system * sector_bytes, spc * sector_bytes};
}

std::optional<uint64_t> fat_free_bytes(device_handle& device) {
    auto map = read_fat_volume_map(device);
    if (!map) return std::nullopt;
    return uint64_t(map->table.free_clusters()) * map->cluster_bytes;
}

std::optional<uint64_t> file_system_free_bytes(std::unique_ptr<device_handle> device, std::string_view fs) {
    if (!device) return std::nullopt;
    const scanner_kind* kind = scanner_for(fs, device.get());
    if (!kind || !kind->free_bytes) return std::nullopt;
    return kind->free_bytes(*device);
}

void count_unmounted_free_space(QList<volume_item_s>& volumes) {
    auto& catalog = device_catalog::shared();
    for (auto& v : volumes) {
        if (v.free_known || v.volume_name.isEmpty()) continue;
        // Listing never asks for a password: a volume this user cannot read keeps its free space unknown.
        auto device = catalog.open(v.volume_name.toStdString(), access_mode::read_only, nullptr,
                                   open_asking::never_ask);
        auto free = file_system_free_bytes(std::move(device), v.file_system.toStdString());
        if (!free) continue;
        v.free_bytes = *free;
        v.free_known = true;
    }
}

}  // namespace qv
