// The exFAT scanner: exfat_core behind the scanner face, its boot-sector probe and its free-space count.
#include <cerrno>

#include "devices/device_handle.hpp"
#include "devices/borrowed_device.hpp"
#include "engine/fs_scanners.hpp"
#include "exfat/exfat_volume.hpp"
#include "exfat/file_copy.hpp"

namespace qv {

namespace {

constexpr uint64_t oem_name_offset = 3;
constexpr char exfat_oem_name[] = "EXFAT   ";
constexpr size_t oem_name_bytes = 8;

bool takes_exfat(std::string_view file_system) { return file_system == "exFAT"; }

bool probe_exfat(device_handle& device) {
    char name[oem_name_bytes] = {};
    return device.read_exact(oem_name_offset, name, sizeof name) &&
           std::string_view(name, sizeof name) == std::string_view(exfat_oem_name, oem_name_bytes);
}

std::optional<uint64_t> exfat_free(device_handle& device) { return exfat::free_bytes(device); }

// The boot regions, the FATs and everything else before the cluster heap, and
// the clusters the allocation bitmap marks used.
std::optional<std::vector<byte_range>> exfat_in_use(device_handle& device) {
    std::unique_ptr<exfat::volume> vol;
    if (exfat::volume::open(device, &vol) != 0 || !vol->bitmap_known()) return std::nullopt;
    const exfat::geometry& g = vol->layout();
    std::vector<byte_range> runs{{0, g.heap_offset}};
    const uint64_t end = uint64_t(g.cluster_count) + 2;
    for (uint64_t c = 2; c < end;) {
        if (!vol->in_use(uint32_t(c))) {
            ++c;
            continue;
        }
        uint64_t stop = c + 1;
        while (stop < end && vol->in_use(uint32_t(stop))) ++stop;
        runs.push_back({g.cluster_offset(uint32_t(c)), (stop - c) * g.cluster_size});
        c = stop;
    }
    return merged_ranges(std::move(runs));
}

std::unique_ptr<scanner> make_exfat() { return std::make_unique<exfat_scanner>(); }

}  // namespace

extern const scanner_kind exfat_scanner_kind{"exfat", false, takes_exfat, probe_exfat, exfat_free, make_exfat,
                                             exfat_in_use};

std::vector<byte_range> exfat_scanner::item_extents(std::span<const found_item> items) const {
    std::vector<byte_range> out = scanner::item_extents(items);
    for (const found_item& item : items)
        if (item.deleted && !item.directory)
            for (const byte_range& r : core_.deleted_extent(item.id)) out.push_back(r);
    return out;
}

const scanner_kind& exfat_scanner::kind() const { return exfat_scanner_kind; }

scan_report exfat_scanner::scan(device_handle& device, const scan_hooks& hooks) {
    device_ = &device;
    exfat_scan_result result = core_.scan(std::make_unique<borrowed_device>(device), hooks);
    open_error_ = result.open_error;
    scan_report report;
    report.items = std::move(result.items);
    report.problems.unreadable_bytes = result.unreadable_bytes;
    report.problems.read_errors = result.unreadable_places.size();
    report.problems.places = std::move(result.unreadable_places);
    report.problems.end = scan_end(hooks, result.vanished || !device.medium_present());
    if (result.open_error != 0 && report.problems.end == read_end::complete) {
        if (result.open_error == exfat::open_unreadable) {
            report.problems.end = read_end::io_error;
            report.problems.places.push_back("boot region at byte 0");
            report.problems.read_errors++;
        } else {
            report.problems.end = read_end::corrupt;
            report.problems.corrupt.push_back(result.open_error == exfat::open_bad_root
                                                  ? "root folder: its first cluster cannot be read"
                                                  : "boot region: no exFAT volume in either copy");
        }
    }
    return report;
}

recovery_status exfat_scanner::recover(const found_item& item, const std::string& destination) {
    const int rc = core_.recover(item, destination);
    switch (rc) {
        case 0:
            return recovery_status::done(core_.last_unreadable_bytes());
        case exfat::copy_destination:
        case exfat::copy_write_failed:
            return recovery_status::destination(errno);
        case exfat::copy_device_gone:
            return recovery_status::failed(read_end::device_gone);
        case exfat::copy_not_a_file:
            return recovery_status::failed(read_end::corrupt, "entry " + std::to_string(item.id) + ": not a file");
        case exfat::copy_no_data:
            return recovery_status::failed(read_end::corrupt, "entry " + std::to_string(item.id) +
                                                                  ": its data's first cluster lies outside the volume");
        case exfat_core::recover_unknown_item:
            return recovery_status::failed(read_end::corrupt, "entry " + std::to_string(item.id) +
                                                                  ": no file of this scan");
        default:
            if (device_ && !device_->medium_present()) return recovery_status::failed(read_end::device_gone);
            return recovery_status::failed(read_end::io_error, "entry " + std::to_string(item.id));
    }
}

}  // namespace qv
