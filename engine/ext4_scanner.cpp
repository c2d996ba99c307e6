// The ext2/3/4 scanner: the ext4 reader's journal undelete behind the scanner face,
// its superblock probe and its free-space count from the block bitmaps.
#include <atomic>
#include <cerrno>
#include <memory>
#include <unordered_map>

#include "devices/destination_file.hpp"
#include "devices/device_handle.hpp"
#include "devices/le_bytes.hpp"
#include "engine/fs_scanners.hpp"
#include "engine/scanner.hpp"
#include "ext4/ext4_scan.hpp"
#include "ext4/ext4_volume.hpp"

namespace qv {

namespace {

bool takes_ext(std::string_view file_system) {
    return file_system == "ext2" || file_system == "ext3" || file_system == "ext4";
}

constexpr uint64_t superblock_offset = 1024;
constexpr size_t superblock_bytes = 1024;

bool probe_ext(device_handle& device) {
    std::vector<uint8_t> bytes(superblock_bytes);
    if (!device.read_exact(superblock_offset, bytes.data(), bytes.size())) return false;
    return ext4::parse_superblock(byte_view(bytes.data(), bytes.size()), nullptr).has_value();
}

std::optional<uint64_t> ext_free(device_handle& device) { return ext4::free_bytes(device); }

item_state state_of(ext4::file_state s) {
    switch (s) {
        case ext4::file_state::intact:
            return item_state::intact;
        case ext4::file_state::overwritten:
            return item_state::overwritten;
        case ext4::file_state::damaged:
            return item_state::damaged;
        case ext4::file_state::unknown:
            break;
    }
    return item_state::unknown;
}

// ext2/3/4 for the window and the command line: every file the scan lists, live
// ones too, is recovered from the volume's own blocks.
class ext4_scanner final : public scanner {
public:
    const scanner_kind& kind() const override;
    scan_report scan(device_handle& device, const scan_hooks& hooks) override;
    uint64_t unreadable_so_far() const override { return unreadable_.load(std::memory_order_relaxed); }
    recovery_status recover(const found_item& item, const std::string& destination) override;
    // The blocks the file's map gives, deleted files' (from the journal) too.
    std::vector<byte_range> item_extents(std::span<const found_item> items) const override;

private:
    device_handle* device_ = nullptr;
    std::unique_ptr<ext4::volume> volume_;
    std::unordered_map<uint64_t, ext4::found_file> files_;  // by id, what a copy needs
    std::atomic<uint64_t> unreadable_{0};  // read by the interface while a scan runs
};

std::unique_ptr<scanner> make_ext4() { return std::make_unique<ext4_scanner>(); }

// Whether group g keeps a copy of the superblock and the descriptors.
bool group_has_super(const ext4::superblock_info& sb, uint64_t g) {
    if (g <= 1 || !(sb.ro_compat & ext4::layout::ro_compat_sparse_super)) return true;
    for (uint64_t base : {3u, 5u, 7u}) {
        uint64_t p = base;
        while (p < g) p *= base;
        if (p == g) return true;
    }
    return false;
}

// The blocks before the first data block, those the bitmaps mark used, and
// every group's own metadata: its bitmaps and inode table (with flex_bg they
// lie in another group) and, in a group whose bitmap was never initialised,
// the superblock copy, descriptors and reserved descriptor blocks it starts with.
std::optional<std::vector<byte_range>> ext_in_use(device_handle& device) {
    std::unique_ptr<ext4::volume> vol;
    if (ext4::volume::open(device, &vol) != 0 || !vol->bitmaps_known()) return std::nullopt;
    const ext4::superblock_info& sb = vol->super();
    const uint64_t bs = sb.block_size;
    std::vector<uint8_t> raw(ext4::layout::superblock_size);
    if (!device.read_exact(sb.superblock_at, raw.data(), raw.size())) return std::nullopt;
    const uint64_t reserved_gdt = byte_view(raw.data(), raw.size()).le16(ext4::layout::sb_reserved_gdt_blocks);
    const uint64_t per_block = sb.desc_size ? bs / sb.desc_size : 0;
    if (per_block == 0) return std::nullopt;
    const uint64_t desc_blocks = (uint64_t(sb.group_count) + per_block - 1) / per_block;
    const uint64_t table_blocks = (uint64_t(sb.inodes_per_group) * sb.inode_size + bs - 1) / bs;

    std::vector<byte_range> runs{{0, uint64_t(sb.first_data_block) * bs}};
    auto blocks = [&](uint64_t first, uint64_t count) {
        if (first >= sb.blocks_count) return;
        runs.push_back({first * bs, std::min(count, sb.blocks_count - first) * bs});
    };
    for (uint64_t b = sb.first_data_block; b < sb.blocks_count;) {
        if (!vol->block_in_use(b)) {
            ++b;
            continue;
        }
        uint64_t end = b + 1;
        while (end < sb.blocks_count && vol->block_in_use(end)) ++end;
        blocks(b, end - b);
        b = end;
    }
    const auto& groups = vol->groups();
    for (uint64_t g = 0; g < groups.size(); ++g) {
        const ext4::group_info& gi = groups[g];
        if (gi.block_bitmap) blocks(gi.block_bitmap, 1);
        if (gi.inode_bitmap) blocks(gi.inode_bitmap, 1);
        if (gi.inode_table) blocks(gi.inode_table, table_blocks);
        if ((gi.flags & ext4::layout::bg_block_uninit) && group_has_super(sb, g))
            blocks(sb.first_data_block + g * sb.blocks_per_group, 1 + desc_blocks + reserved_gdt);
    }
    return merged_ranges(std::move(runs));
}

}  // namespace

extern const scanner_kind ext4_scanner_kind{"ext4", false, takes_ext, probe_ext, ext_free, make_ext4, ext_in_use};

namespace {

const scanner_kind& ext4_scanner::kind() const { return ext4_scanner_kind; }

scan_report ext4_scanner::scan(device_handle& device, const scan_hooks& hooks) {
    device_ = &device;
    files_.clear();
    volume_.reset();
    unreadable_ = 0;
    scan_report report;
    const int rc = ext4::volume::open(device, &volume_);
    if (rc != 0) {
        if (!device.medium_present()) {
            report.problems.end = read_end::device_gone;
        } else if (rc == ext4::open_unreadable || rc == ext4::open_bad_groups) {
            report.problems.end = read_end::io_error;
            report.problems.read_errors = 1;
            report.problems.places.push_back(rc == ext4::open_unreadable ? "superblock at byte 1024"
                                                                         : "group descriptors");
        } else {
            report.problems.end = read_end::corrupt;
            report.problems.corrupt.push_back(rc == ext4::open_unsupported
                                                  ? "superblock: a journal device, not a file system"
                                                  : "superblock: no ext2/3/4 volume in it or its backups");
        }
        return report;
    }
    ext4::scan_options options;
    options.lost_files_name = hooks.lost_files_name;
    options.keep_going = [&hooks](double fraction) {
        if (hooks.token) hooks.token->progress.store(fraction, std::memory_order_relaxed);
        if (hooks.progress && hooks.token)
            hooks.progress(fraction, hooks.token->entries.load(), hooks.token->items.load());
        return hooks.keep_going();
    };
    ext4::scan_result result = ext4::scan(*volume_, options);
    if (hooks.token) hooks.token->entries.fetch_add(result.entries_read, std::memory_order_relaxed);
    report.items.reserve(result.files.size());
    for (ext4::found_file& f : result.files) {
        found_item item;
        item.id = f.id;
        item.parent = f.parent;
        item.name = f.name;
        item.size = f.size;
        item.modified = f.mtime;
        item.created = f.crtime;
        item.deleted = f.deleted;
        item.directory = f.directory;
        item.attributes = f.mode;
        item.state = state_of(f.state);
        item.doubtful = f.doubtful;
        if (hooks.token) hooks.token->items.fetch_add(1, std::memory_order_relaxed);
        if (hooks.found) hooks.found(item);
        report.items.push_back(std::move(item));
        if (!f.directory) {
            f.name.clear();  // the row keeps it; a copy needs only the map
            files_.emplace(f.id, std::move(f));
        }
    }
    const ext4::volume_problems& p = volume_->problems();
    unreadable_ = p.unreadable_blocks * volume_->super().block_size;
    report.problems.unreadable_bytes = unreadable_.load(std::memory_order_relaxed);
    report.problems.read_errors = p.unreadable_blocks;
    if (p.bad_checksums) report.problems.corrupt.push_back(std::to_string(p.bad_checksums) + " metadata checksums failed");
    if (p.bad_structures) report.problems.corrupt.push_back(std::to_string(p.bad_structures) + " damaged structures skipped");
    if (result.journal_status != 0) report.problems.corrupt.push_back("journal: could not be read; deleted files may lack names");
    report.problems.end = scan_end(hooks, volume_->gone() || !device.medium_present());
    return report;
}

std::vector<byte_range> ext4_scanner::item_extents(std::span<const found_item> items) const {
    std::vector<byte_range> out = scanner::item_extents(items);
    if (!volume_) return out;
    const ext4::superblock_info& sb = volume_->super();
    for (const found_item& item : items) {
        auto file = files_.find(item.id);
        if (file == files_.end()) continue;
        for (const ext4::block_run& run : file->second.runs) {
            if (run.zero || run.physical >= sb.blocks_count) continue;
            const uint64_t count = std::min(run.count, sb.blocks_count - run.physical);
            out.push_back({run.physical * sb.block_size, count * sb.block_size});
        }
    }
    return out;
}

recovery_status ext4_scanner::recover(const found_item& item, const std::string& destination) {
    auto known = files_.find(item.id);
    if (!volume_ || !device_ || known == files_.end())
        return recovery_status::failed(read_end::corrupt, "inode " + std::to_string(item.id) + ": no file of this scan");
    const int fd = create_destination(*device_, destination.c_str());
    if (fd < 0) return recovery_status::destination(errno);
    destination_file out(fd, destination.c_str());
    const ext4::copy_report r = ext4::copy_file(*volume_, known->second, out.fd());
    switch (r.error) {
        case ext4::copy_error::none:
        case ext4::copy_error::io_error:  // zeros over what could not be read, counted
            if (!out.keep()) return recovery_status::destination(errno);
            return recovery_status::done(r.unreadable);
        case ext4::copy_error::write_failed:
            return recovery_status::destination(errno);
        case ext4::copy_error::device_gone:
            return recovery_status::failed(read_end::device_gone);
        case ext4::copy_error::stopped:
            return recovery_status::failed(read_end::stopped);
        case ext4::copy_error::corrupt:
            break;
    }
    return recovery_status::failed(read_end::corrupt, "inode " + std::to_string(item.id) + ": its block map");
}

}  // namespace

}  // namespace qv
