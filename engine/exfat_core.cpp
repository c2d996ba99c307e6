#include "engine/exfat_core.hpp"

#include "devices/device_handle.hpp"
#include "engine/debug_log.hpp"
#include "exfat/exfat_volume.hpp"
#include "exfat/exfat_walk.hpp"
#include "exfat/file_copy.hpp"

namespace qv {

namespace {

item_state state_of(exfat::data_state s) {
    switch (s) {
        case exfat::data_state::intact:
            return item_state::intact;
        case exfat::data_state::assembled:
            return item_state::assembled;
        case exfat::data_state::overwritten:
            return item_state::overwritten;
        default:
            return item_state::unknown;
    }
}

found_item to_found(const exfat::found_entry& f) {
    found_item item;
    item.id = f.id;
    item.parent = f.parent;
    // A set whose name entries are gone still needs a name to show and to write.
    item.name = f.set.name.empty() ? "#" + std::to_string(f.id) : f.set.name;
    item.size = f.set.data_length;
    item.modified = f.set.modified.seconds;
    item.created = f.set.created.seconds;
    item.deleted = f.deleted;
    item.directory = f.set.directory();
    item.attributes = f.set.attributes;
    item.state = state_of(f.state);
    item.doubtful = f.set.doubtful();
    return item;
}

}  // namespace

exfat_core::exfat_core() = default;
exfat_core::~exfat_core() = default;

void exfat_core::close() {
    volume_.reset();
    device_.reset();
    files_.clear();
    last_unreadable_ = 0;
}

exfat_scan_result exfat_core::scan(std::unique_ptr<device_handle> device, const scan_hooks& hooks) {
    exfat_scan_result result;
    close();
    if (!device) {
        result.open_error = exfat::open_unreadable;
        return result;
    }
    device_ = std::move(device);
    int opened = exfat::volume::open(*device_, &volume_);
    if (opened != 0) {
        result.open_error = opened;
        result.vanished = !device_->medium_present();
        device_.reset();
        return result;
    }
    scan_token own;
    scan_token& token = hooks.token ? *hooks.token : own;

    exfat::walk_hooks walk;
    walk.stop = [&] { return !hooks.keep_going(); };
    unreadable_.store(0, std::memory_order_relaxed);
    walk.progress = [&](double fraction, uint64_t entries, uint64_t unreadable) {
        unreadable_.store(unreadable, std::memory_order_relaxed);
        token.progress.store(fraction, std::memory_order_relaxed);
        token.entries.store(entries, std::memory_order_relaxed);
        if (hooks.progress) hooks.progress(fraction, entries, token.items.load(std::memory_order_relaxed));
    };
    walk.found = [&](const exfat::found_entry& f) {
        found_item item = to_found(f);
        if (f.id == exfat::lost_files_id && !hooks.lost_files_name.empty()) item.name = hooks.lost_files_name;
        if (!item.directory) {
            stored_file s;
            s.first_cluster = f.set.first_cluster;
            s.stream_flags = f.set.stream_flags;
            s.deleted = f.deleted;
            s.valid_length = f.set.valid_length;
            s.data_length = f.set.data_length;
            s.modified = f.set.modified.seconds;
            s.modified_ns = f.set.modified.nanoseconds;
            s.accessed = f.set.accessed.seconds;
            files_[f.id] = s;
        }
        token.items.fetch_add(1, std::memory_order_relaxed);
        if (hooks.found) hooks.found(item);
        result.items.push_back(std::move(item));
    };
    exfat::walk_result walked = exfat::walk(*volume_, walk);
    result.unreadable_bytes = walked.unreadable;
    unreadable_.store(walked.unreadable, std::memory_order_relaxed);
    result.vanished = walked.vanished;
    for (const auto& [cluster, bytes] : walked.unreadable_folders) {
        result.unreadable_places.push_back("folder at cluster " + std::to_string(cluster) + ": " +
                                           std::to_string(bytes) + " bytes");
        debug_printf("%s could not be read; skipped\n", result.unreadable_places.back().c_str());
    }
    if (walked.vanished) debug_printf("the device went away during the scan\n");
    token.entries.store(walked.entries, std::memory_order_relaxed);
    if (!walked.stopped && !walked.vanished) token.progress.store(1.0, std::memory_order_relaxed);
    return result;
}

int exfat_core::recover(uint64_t id, const std::string& destination) {
    last_unreadable_ = 0;
    auto it = files_.find(id);
    if (!volume_ || it == files_.end()) return recover_unknown_item;
    const stored_file& s = it->second;
    exfat::found_entry f;
    f.id = id;
    f.deleted = s.deleted;
    f.set.first_cluster = s.first_cluster;
    f.set.stream_flags = s.stream_flags;
    f.set.valid_length = s.valid_length;
    f.set.data_length = s.data_length;
    f.set.modified.seconds = s.modified;
    f.set.modified.nanoseconds = s.modified_ns;
    f.set.accessed.seconds = s.accessed;
    exfat::copy_report report;
    int r = exfat::copy_file(*volume_, f, destination.c_str(), &report);
    last_unreadable_ = report.unreadable;
    return r;
}

std::vector<byte_range> exfat_core::deleted_extent(uint64_t id) const {
    auto file = files_.find(id);
    if (!volume_ || file == files_.end() || !file->second.deleted) return {};
    const exfat::geometry& g = volume_->layout();
    const uint32_t first = file->second.first_cluster;
    if (!g.valid_cluster(first) || g.cluster_size == 0) return {};
    const uint64_t left = g.heap_bytes() - uint64_t(first - 2) * g.cluster_size;
    const uint64_t clusters = (file->second.data_length + g.cluster_size - 1) / g.cluster_size;
    const uint64_t bytes = clusters > left / g.cluster_size ? left : clusters * g.cluster_size;
    if (bytes == 0) return {};
    return {{g.cluster_offset(first), bytes}};
}

}  // namespace qv
