#include "engine/ntfs_core.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "devices/device_handle.hpp"
#include "devices/read_problems.hpp"
#include "devices/utf16_text.hpp"
#include "engine/debug_log.hpp"
#include "engine/ntfs_lost_files.hpp"
#include "ntfsscan/ntfs_volume.hpp"

namespace qv {

namespace {

bool is_file(const ntfs_record_s& i) { return i.flags & ntfs_flag_file; }
bool is_deleted(const ntfs_record_s& i) { return i.flags & ntfs_flag_deleted; }
// The progress callback runs once per this many records.
constexpr uint64_t progress_every = 1024;

found_item to_found(const ntfs_record_s& item) {
    found_item f;
    f.id = item.id;
    f.parent = item.parent == ntfs_root_id ? 0 : item.parent;
    f.name = utf8_of(item.name, std::size(item.name));
    f.size = item.size;
    f.modified = item.date1;
    f.created = item.date2;
    f.deleted = is_deleted(item);
    f.directory = (item.flags & ntfs_flag_directory) && !is_file(item);
    f.attributes = item.flags;
    f.state = item.state == ntfs_state_overwritten ? item_state::overwritten
              : item.state == ntfs_state_intact    ? item_state::intact
                                                   : item_state::unknown;
    return f;
}

// Puts deleted items whose folder is lost (its record holds another file now,
// or none) under one folder for lost files below the root.
void gather_lost(ntfs_item_map& items, const std::u16string& folder_name) {
    std::vector<uint64_t> lost;
    for (const auto& [id, item] : items) {
        if (!is_deleted(item) || id <= ntfs_last_metadata_id) continue;
        auto parent = items.find(item.parent);
        if (ntfs_parent_lost(item, parent == items.end() ? nullptr : &parent->second)) lost.push_back(id);
    }
    if (lost.empty()) return;
    ntfs_item_s folder;
    folder.id = ntfs_lost_files_id;
    folder.parent = ntfs_root_id;
    folder.flags = ntfs_flag_directory;
    folder.state = ntfs_state_intact;
    size_t units = std::min(folder_name.size(), std::size(folder.name) - 1);
    std::copy_n(folder_name.data(), units, folder.name);
    items.insert_or_assign(ntfs_lost_files_id, std::move(folder));
    for (uint64_t id : lost) items[id].parent = ntfs_lost_files_id;
}

}  // namespace

ntfs_core::ntfs_core() = default;
ntfs_core::~ntfs_core() { close(); }

void ntfs_core::close() {
    if (ntfs_context_u32(context_, ntfs_context_started) != 0) ntfs_scan_cleanup(&context_);
    std::memset(context_.bytes, 0, sizeof context_.bytes);
}

ntfs_scan_result ntfs_core::scan(std::unique_ptr<device_handle> device, const scan_hooks& hooks) {
    ntfs_scan_result result;
    close();
    scan_token own;
    scan_token& token = hooks.token ? *hooks.token : own;
    int started = device ? ntfs_scan_startup_device(std::move(device), &context_) : -1;
    open_gone_ = started == qv::ntfs::open_gone;
    if (started < 0) {
        result.open_error = started;
        return result;
    }
    ntfs_item_map& items = result.items;
    bool walked_all = false;
    while (!token.stop_requested()) {
        if (!token.wait_while_paused()) break;
        ntfs_item_s item;
        if (ntfs_scan_next(&context_, &item) == 0) {
            walked_all = true;
            break;
        }

        uint32_t a = ntfs_context_u32(context_, ntfs_context_counter_a);
        uint32_t b = ntfs_context_u32(context_, ntfs_context_counter_b);
        uint32_t c = ntfs_context_u32(context_, ntfs_context_counter_c);
        int64_t total = ntfs_context_i64(context_, ntfs_context_total);
        uint32_t done = c + 8 * (a + b);
        if (total > 0) token.progress.store(std::min(1.0, double(done) / double(total)), std::memory_order_relaxed);
        uint64_t entries = token.entries.load(std::memory_order_relaxed) + 1;
        token.entries.store(entries, std::memory_order_relaxed);
        if (hooks.progress && entries % progress_every == 1)
            hooks.progress(token.progress.load(std::memory_order_relaxed), entries,
                           token.items.load(std::memory_order_relaxed));

        // Live files are left to the file system; directories and deleted files are kept.
        if (is_deleted(item) || !is_file(item)) {
            uint64_t id = item.id;
            if (hooks.found && id > ntfs_last_metadata_id && !items.count(id)) hooks.found(to_found(item));
            if (items.insert_or_assign(id, std::move(item)).second) token.items++;
        }
    }
    if (device_vanished()) {
        debug_printf("the device went away during the scan\n");
        walked_all = false;
    }
    for (const std::string& place : unreadable_places()) debug_printf("%s could not be read; skipped\n", place.c_str());
    // Only a whole walk can tell a folder that is gone from one not read yet.
    if (walked_all) gather_lost(items, lost_files_name_);
    return result;
}

int ntfs_core::recover(uint64_t id, const std::string& destination) {
    last_unreadable_ = 0;
    const char* path = destination.c_str();
    // Whatever stood at the destination goes first, but never a device, a
    // folder or the image being scanned.
    struct stat st {};
    if (::lstat(path, &st) == 0 && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) &&
        !ntfs_is_source_path(&context_, path))
        ::unlink(path);
    return ntfs_recover_file(&context_, id, path, &last_unreadable_);
}

uint64_t ntfs_core::unreadable_bytes() {
    const read_problems* p = ntfs_scan_problems(&context_);
    return p ? p->unreadable_bytes() : 0;
}

bool ntfs_core::device_vanished() {
    if (open_gone_) return true;
    const read_problems* p = ntfs_scan_problems(&context_);
    return p && p->vanished();
}

std::vector<std::string> ntfs_core::unreadable_places() {
    const read_problems* p = ntfs_scan_problems(&context_);
    return p ? p->places() : std::vector<std::string>{};
}

std::vector<found_item> ntfs_found_items(const ntfs_item_map& items) {
    std::vector<found_item> out;
    out.reserve(items.size());
    for (const auto& [id, item] : items) {
        if (id <= ntfs_last_metadata_id) continue;
        if (!(item.flags & (ntfs_flag_directory | ntfs_flag_file))) continue;
        out.push_back(to_found(item));
    }
    std::sort(out.begin(), out.end(), [](const found_item& a, const found_item& b) { return a.id < b.id; });
    return out;
}

}  // namespace qv
