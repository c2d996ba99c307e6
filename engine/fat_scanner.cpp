// The FAT scanner: fat_core behind the scanner face, its boot-sector probe and its free-space count.
#include <algorithm>
#include <cerrno>
#include <iterator>
#include <vector>

#include "devices/device_handle.hpp"
#include "devices/le_bytes.hpp"
#include "devices/utf16_text.hpp"
#include "engine/destination_failure.hpp"
#include "engine/fat_allocation.hpp"
#include "engine/fs_scanners.hpp"
#include "engine/volume_free_space.hpp"
#include "fat/fat_layout.hpp"

namespace qv {

namespace {

constexpr size_t boot_bytes = 512;

bool takes_fat(std::string_view file_system) { return file_system.substr(0, 3) == "FAT"; }

// A boot sector whose parameter block describes a FAT volume: the signature,
// a power-of-two sector and cluster size, one or two tables, reserved sectors.
bool probe_fat(device_handle& device) {
    std::vector<uint8_t> boot(boot_bytes);
    if (!device.read_exact(0, boot.data(), boot.size())) return false;
    byte_view bs(boot.data(), boot.size());
    const uint32_t sector = bs.le16(fat::bpb_bytes_per_sector);
    const uint32_t spc = bs.u8(fat::bpb_sectors_per_cluster);
    const uint32_t fats = bs.u8(fat::bpb_fat_count);
    const bool sizes_ok = sector >= 512 && sector <= 4096 && (sector & (sector - 1)) == 0 && spc != 0 &&
                          (spc & (spc - 1)) == 0;
    const bool per_fat = bs.le16(fat::bpb_sectors_per_fat16) != 0 || bs.le32(fat::bpb_sectors_per_fat32) != 0;
    return bs.le16(fat::bs_signature) == fat::boot_signature && sizes_ok && (fats == 1 || fats == 2) &&
           bs.le16(fat::bpb_reserved_sectors) != 0 && per_fat;
}

std::unique_ptr<scanner> make_fat() { return std::make_unique<fat_scanner>(); }

// Everything before cluster 2 (boot and reserved sectors, the tables, a
// FAT12/16 root folder) and every cluster whose entry is not 0.
std::optional<std::vector<byte_range>> fat_in_use(device_handle& device) {
    auto map = read_fat_volume_map(device);
    if (!map) return std::nullopt;
    std::vector<byte_range> runs{{0, map->data_start}};
    const fat_allocation& table = map->table;
    const uint32_t end = table.entry_count();
    for (uint32_t c = table.next_in_use(2); c < end;) {
        const uint32_t free = table.next_free(c);
        runs.push_back({map->cluster_offset(c), uint64_t(free - c) * map->cluster_bytes});
        if (free >= end) break;
        c = table.next_in_use(free);
    }
    return merged_ranges(std::move(runs));
}

}  // namespace

extern const scanner_kind fat_scanner_kind{"fat", false, takes_fat, probe_fat, fat_free_bytes, make_fat, fat_in_use};

const scanner_kind& fat_scanner::kind() const { return fat_scanner_kind; }

fat_item_map fat_scanner::scan_map(device_handle& device, const scan_hooks& hooks) {
    device_ = &device;
    known_.clear();
    fat_item_map items = core_.scan(device, hooks);
    // The folder for files whose folder is gone, in the caller's language.
    auto lost = items.find(fat_lost_files_id);
    if (lost != items.end() && !hooks.lost_files_name.empty()) {
        const std::u16string name = utf16_of(hooks.lost_files_name);
        const size_t n = std::min(name.size(), std::size(lost->second.name) - 1);
        std::fill(std::begin(lost->second.name), std::end(lost->second.name), u'\0');
        std::copy_n(name.begin(), n, lost->second.name);
    }
    for (const auto& [cluster, item] : items)
        if (cluster != 0 && !(item.attributes & fat::attr_directory))
            known_[cluster] = {item.size, (item.attributes & fat::attr_deleted) != 0};
    return items;
}

scan_report fat_scanner::scan(device_handle& device, const scan_hooks& hooks) {
    scan_report report;
    report.items = fat_found_items(scan_map(device, hooks));
    const read_problems& p = core_.problems();
    report.problems.unreadable_bytes = p.unreadable_bytes();
    report.problems.read_errors = p.place_count();
    report.problems.places = p.places();
    report.problems.end = scan_end(hooks, p.vanished());
    if (report.problems.end == read_end::complete && report.items.empty() && !probe_fat(device)) {
        report.problems.corrupt.push_back("boot sector: no FAT parameter block");
        report.problems.end = read_end::corrupt;
    }
    return report;
}

std::vector<byte_range> fat_scanner::item_extents(std::span<const found_item> items) const {
    std::vector<byte_range> out = scanner::item_extents(items);
    if (!device_) return out;
    auto map = read_fat_volume_map(*device_);
    if (!map) return out;
    // A deleted file's clusters as its recovery reads them; a live one's are in use anyway.
    for (const found_item& item : items) {
        auto known = known_.find(item.id);
        if (known == known_.end() || !known->second.deleted || item.id > UINT32_MAX) continue;
        fat_data_plan plan =
            plan_deleted_data(uint32_t(item.id), known->second.size, map->cluster_bytes, map->table);
        for (const fat_cluster_run& run : plan.runs)
            out.push_back({map->cluster_offset(run.first), uint64_t(run.count) * map->cluster_bytes});
    }
    return out;
}

recovery_status fat_scanner::recover(const found_item& item, const std::string& destination) {
    // Only a file of the last scan, with the size and state the scan found.
    auto known = known_.find(item.id);
    if (known == known_.end())
        return recovery_status::failed(read_end::corrupt, "cluster " + std::to_string(item.id) + ": no file of this scan");
    const int rc = core_.recover(uint32_t(item.id), known->second.size, known->second.deleted, destination);
    if (rc == 0) return recovery_status::done(core_.last_unreadable_bytes());
    if (rc == recover_destination_failed) return recovery_status::destination(errno);
    if (device_ && !device_->medium_present()) return recovery_status::failed(read_end::device_gone);
    return recovery_status::failed(read_end::io_error, "cluster chain of cluster " + std::to_string(item.id));
}

}  // namespace qv
