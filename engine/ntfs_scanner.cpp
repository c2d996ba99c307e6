// The NTFS scanner: ntfs_core behind the scanner face, its boot-sector probe and its free-space count.
#include <cerrno>

#include "devices/borrowed_device.hpp"
#include "devices/device_handle.hpp"
#include "devices/utf16_text.hpp"
#include "engine/fs_scanners.hpp"
#include "ntfsscan/cluster_bitmap.hpp"
#include "ntfsscan/file_record.hpp"
#include "ntfsscan/file_recovery.hpp"
#include "ntfsscan/mft_record.hpp"
#include "ntfsscan/ntfs_volume.hpp"

namespace qv {

namespace {

constexpr uint64_t oem_name_offset = 3;
constexpr char ntfs_oem_name[] = "NTFS    ";
constexpr size_t oem_name_bytes = 8;

bool takes_ntfs(std::string_view file_system) { return file_system == "NTFS"; }

bool probe_ntfs(device_handle& device) {
    char name[oem_name_bytes] = {};
    return device.read_exact(oem_name_offset, name, sizeof name) &&
           std::string_view(name, sizeof name) == std::string_view(ntfs_oem_name, oem_name_bytes);
}

// Free clusters of $Bitmap times the cluster size.
std::optional<uint64_t> ntfs_free(device_handle& device) {
    std::unique_ptr<ntfs::volume> vol;
    if (ntfs::volume::open(std::make_unique<borrowed_device>(device), &vol) != 0) return std::nullopt;
    auto map = ntfs::cluster_bitmap::load(*vol);
    if (!map.known() || !map.complete()) return std::nullopt;
    return map.free_clusters() * vol->cluster_size();
}

// The clusters $Bitmap marks used (the boot sector, the MFT and its mirror,
// the log and the other system files are among them) and the bytes past the
// last cluster, where the boot sector's copy lies.
std::optional<std::vector<byte_range>> ntfs_in_use(device_handle& device) {
    std::unique_ptr<ntfs::volume> vol;
    if (ntfs::volume::open(std::make_unique<borrowed_device>(device), &vol) != 0) return std::nullopt;
    auto map = ntfs::cluster_bitmap::load(*vol);
    if (!map.known() || !map.complete()) return std::nullopt;
    const uint64_t cluster = vol->cluster_size();
    const uint64_t count = map.cluster_count();
    if (cluster == 0 || count > device.length() / cluster) return std::nullopt;
    std::vector<byte_range> runs;
    for (uint64_t lcn = 0; lcn < count;) {
        if (!map.in_use(lcn)) {
            ++lcn;
            continue;
        }
        uint64_t stop = lcn + 1;
        while (stop < count && map.in_use(stop)) ++stop;
        runs.push_back({lcn * cluster, (stop - lcn) * cluster});
        lcn = stop;
    }
    runs.push_back({count * cluster, device.length() - count * cluster});
    return merged_ranges(std::move(runs));
}

std::unique_ptr<scanner> make_ntfs() { return std::make_unique<ntfs_scanner>(); }

}  // namespace

extern const scanner_kind ntfs_scanner_kind{"ntfs", false, takes_ntfs, probe_ntfs, ntfs_free, make_ntfs, ntfs_in_use};

const scanner_kind& ntfs_scanner::kind() const { return ntfs_scanner_kind; }

std::vector<byte_range> ntfs_scanner::item_extents(std::span<const found_item> items) const {
    std::vector<byte_range> out = scanner::item_extents(items);
    std::unique_ptr<ntfs::volume> vol;
    if (!device_ || ntfs::volume::open(std::make_unique<borrowed_device>(*device_), &vol) != 0) return out;
    const uint64_t cluster = vol->cluster_size();
    std::vector<uint8_t> record;
    // Deleted files' runs as their records still give them; live ones lie in clusters in use.
    for (const found_item& item : items) {
        if (item.directory || !item.deleted || !vol->load_record(item.id, record)) continue;
        byte_view view(record.data(), record.size());
        ntfs::record_header header;
        if (!ntfs::read_record_header(view, header) || header.base_record != 0) continue;
        ntfs::file_info info;
        ntfs::parse_file_record(view, header, item.id, *vol, ntfs::parse_depth::content, true, info);
        if (!info.data.present || info.data.resident || !info.data.runs_valid) continue;
        for (const ntfs::cluster_run& run : info.data.runs)
            if (!run.sparse && run.lcn < vol->cluster_count())
                out.push_back({run.lcn * cluster, std::min(run.length, vol->cluster_count() - run.lcn) * cluster});
    }
    return out;
}

ntfs_item_map ntfs_scanner::scan_records(device_handle& device, const scan_hooks& hooks, scan_problems* problems) {
    device_ = &device;
    unreadable_ = 0;
    scan_hooks counted = hooks;
    counted.progress = [&](double fraction, uint64_t entries, uint64_t items) {
        unreadable_.store(core_.unreadable_bytes(), std::memory_order_relaxed);
        if (hooks.progress) hooks.progress(fraction, entries, items);
    };
    // The folder for files whose folder is gone, in the caller's language.
    core_.set_lost_files_name(hooks.lost_files_name.empty() ? u"Lost files" : utf16_of(hooks.lost_files_name));
    ntfs_scan_result result = core_.scan(std::make_unique<borrowed_device>(device), counted);
    open_error_ = result.open_error;
    unreadable_.store(core_.unreadable_bytes(), std::memory_order_relaxed);
    if (problems) {
        problems->unreadable_bytes = core_.unreadable_bytes();
        problems->places = core_.unreadable_places();
        problems->read_errors = problems->places.size();
        problems->end = scan_end(hooks, core_.device_vanished());
        if (result.open_error < 0 && problems->end == read_end::complete) {
            problems->end = read_end::corrupt;
            problems->corrupt.push_back("boot sector or $MFT: no NTFS volume could be opened (" +
                                        std::to_string(result.open_error) + ")");
        }
    }
    return std::move(result.items);
}

scan_report ntfs_scanner::scan(device_handle& device, const scan_hooks& hooks) {
    scan_report report;
    report.items = ntfs_found_items(scan_records(device, hooks, &report.problems));
    return report;
}

recovery_status ntfs_scanner::recover(const found_item& item, const std::string& destination) {
    return recover(item.id, destination);
}

recovery_status ntfs_scanner::recover(uint64_t record, const std::string& destination) {
    const int rc = core_.recover(record, destination);
    const std::string where = "MFT record " + std::to_string(record);
    switch (rc) {
        case 0:
            return recovery_status::done(core_.last_unreadable_bytes());
        case ntfs::recover_destination:
        case ntfs::recover_write_failed:
            return recovery_status::destination(errno);
        case ntfs::recover_not_started:
            return recovery_status::failed(read_end::corrupt, "no NTFS volume was opened");
        case ntfs::recover_bad_record:
            return recovery_status::failed(read_end::corrupt, where + ": unreadable or not a base record");
        case ntfs::recover_no_data:
            return recovery_status::failed(read_end::corrupt, where + ": no data stream");
        case ntfs::recover_unsupported:
            return recovery_status::failed(read_end::corrupt, where + ": compressed or encrypted data");
        case ntfs::recover_bad_runs:
            return recovery_status::failed(read_end::corrupt, where + ": sizes or runlist do not hold together");
        default:
            if (device_ && !device_->medium_present()) return recovery_status::failed(read_end::device_gone);
            return recovery_status::failed(read_end::io_error, where + ": its clusters cannot be read");
    }
}

}  // namespace qv
