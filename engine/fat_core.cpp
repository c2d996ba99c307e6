#include "engine/fat_core.hpp"

#include "devices/fd_write.hpp"
#include "engine/destination_failure.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>

#include "devices/device_handle.hpp"
#include "devices/tolerant_read.hpp"
#include "devices/utf16_text.hpp"
#include "engine/debug_log.hpp"
#include "engine/fat_allocation.hpp"
#include "fat/fat_folder_check.hpp"
#include "fat/fat_reader.hpp"
#include "fat/fat_volume.hpp"

namespace qv {

namespace {

constexpr size_t item_name_units = 259;
constexpr double progress_entries = 2000.0;
constexpr size_t copy_chunk = 64 * 1024;
// The progress callback runs once per this many entries.
constexpr uint64_t progress_every = 1024;
// Free space is read for folder clusters in pieces of this size.
constexpr size_t sweep_read_bytes = size_t(4) << 20;
constexpr char16_t lost_files_name[] = u"Lost files";
constexpr char dot_entry[] = ".          ";
constexpr char dot_dot_entry[] = "..         ";

// True when a folder cluster starts with the "." and ".." entries of a folder's first cluster.
bool starts_folder(byte_view cluster) {
    return cluster.has(0, 2 * fat::entry_bytes) && cluster.equals(fat::dir_name, dot_entry) &&
           cluster.equals(fat::entry_bytes + fat::dir_name, dot_dot_entry);
}

bool is_directory(const fat_item_s& i) { return i.attributes & fat::attr_directory; }
bool is_deleted(const fat_item_s& i) { return i.attributes & fat::attr_deleted; }

// Writes a deleted file's bytes from the runs of its plan, in file order, to
// a new file at destination: 0, or -1 when a read or a write fails or the
// runs do not hold the whole size (the bytes had stay).
int recover_runs(fat::volume& v, const fat_data_plan& plan, const std::string& destination, uint64_t* unreadable) {
    int fd = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[copy_chunk]);
    int result = plan.complete ? 0 : -1;
    uint64_t left = plan.bytes;
    for (const auto& run : plan.runs) {
        if (left == 0 || result != 0) break;
        const uint32_t size = uint32_t(std::min<uint64_t>(left, uint64_t(run.count) * v.cluster_bytes()));
        fat::file file = v.open_file(run.first, size);
        left -= size;
        for (;;) {
            uint32_t got = 0;
            fat_result r = file.read(buffer.get(), copy_chunk, &got, true);
            if (!qv::write_all(fd, buffer.get(), got) || r != FAT_OK) {
                result = -1;
                break;
            }
            if (got == 0) break;
        }
        *unreadable += file.unreadable();
    }
    if (::close(fd) != 0) result = -1;
    return result;
}

// True when a free folder cluster holds an entry the walk would list there:
// a short entry, not "." or "..", with a first cluster.
bool has_listed_entry(byte_view cluster, bool fat32) {
    for (size_t at = 0; cluster.has(at, fat::entry_bytes); at += fat::entry_bytes) {
        byte_view e = cluster.sub(at, fat::entry_bytes);
        uint8_t first = e.u8(fat::dir_name);
        if (first == 0) return false;
        uint8_t attributes = e.u8(fat::dir_attributes);
        if ((attributes & 0x3F) == fat::attr_long_name || (attributes & fat::attr_volume) || first == '.') continue;
        if (e.le16(fat::dir_cluster_low) != 0 || (fat32 && e.le16(fat::dir_cluster_high) != 0)) return true;
    }
    return false;
}

}  // namespace

struct fat_core::state {
    device_handle* device = nullptr;
    std::unique_ptr<fat::volume> vol;  // the mounted volume of the last scan; null when none
    const scan_hooks* hooks = nullptr;
    scan_token own_token;  // counts when the caller gave none
    fat_item_map* items = nullptr;
    fat_allocation table;  // the FAT copy in use, read once per scan
    bool table_known = false;
    read_problems problems;        // of the last scan
    uint64_t last_unreadable = 0;  // of the last recovery

    // Reads the first FAT whole (the second when the first is damaged and the
    // second intact); unknown (states unknown, deleted files read
    // contiguously) when it lies beyond the device or cannot be read.
    void load_table();
    bool read_table_copy(uint8_t copy, std::vector<uint8_t>& bytes, uint64_t* unreadable);
    const fat_volume& layout() const { return vol->layout(); }
    uint32_t cluster_bytes() const { return vol->cluster_bytes(); }
    item_state state_of(const fat_item_s& n) const;

    scan_token& token() { return hooks && hooks->token ? *hooks->token : own_token; }
    uint64_t walk_entry_budget() const;
    bool file_item(const fat_item_s& item);
    // The folder's name for messages: its name, or "/" for the root.
    std::string folder_label(uint32_t cluster) const;
    // one_cluster: read the folder's first cluster alone (a cluster no folder reached).
    void walk(uint32_t cluster, uint32_t parent, uint8_t under_deleted, bool deleted_folder, int depth,
              bool one_cluster = false);

    fat_folder_index free_folders;  // free clusters that read as directory entries
    std::vector<bool> chain_targets;  // of the table in use
    bool depth_cut = false;           // the walk left folders nested too deep unread
    uint64_t cluster_offset(uint32_t cluster) const { return vol->cluster_offset(cluster); }
    fat_folder_limits folder_limits() const {
        return {layout().entry_count, cluster_offset(layout().entry_count), layout().fat_type == fat_32};
    }
    // Reads bytes.size() bytes at offset; parts that cannot be read (or lie
    // past the device) stay zero. False when the device went away.
    bool read_or_zero(uint64_t offset, std::vector<uint8_t>& bytes);
    // Reads the free clusters in large pieces and keeps those that read as
    // directory entries in free_folders.
    void find_free_folders();
    // Lists the entries of the free folder clusters that no folder reached:
    // under the folder their entries name, else under the lost-files folder.
    void walk_lost_clusters();
    // The folder a free folder cluster belongs to, as its sub-folders' ".."
    // entries name it; fat_lost_files_id when they name none (or disagree).
    uint32_t named_parent(byte_view cluster, uint32_t self);
};

fat_core::fat_core() : s_(std::make_unique<state>()) {}
fat_core::~fat_core() = default;

int64_t fat_core::fat_time(uint16_t date, uint16_t time) {
    std::tm t{};
    t.tm_sec = (time & 0x1F) * 2;
    t.tm_min = (time >> 5) & 0x3F;
    t.tm_hour = (time >> 11) & 0x1F;
    t.tm_mday = date & 0x1F;
    t.tm_mon = ((date >> 5) & 0x0F) - 1;
    t.tm_year = (date >> 9) + 80;
    t.tm_isdst = 0;
    time_t v = std::mktime(&t);
    return v == time_t(-1) ? 0 : int64_t(v);
}

double fat_core::entry_progress(uint64_t entries_before) {
    double fraction = double(entries_before) / progress_entries;
    return fraction > 1.0 ? 0.99 : fraction;
}

uint64_t fat_core::volume_offset() const { return s_->device ? s_->device->base_offset() : 0; }

const read_problems& fat_core::problems() const { return s_->problems; }

uint64_t fat_core::last_unreadable_bytes() const { return s_->last_unreadable; }

fat_item_map fat_core::scan(device_handle& device, const scan_hooks& hooks) {
    fat_item_map items;
    s_->device = &device;
    s_->vol.reset();
    s_->hooks = &hooks;
    s_->items = &items;
    s_->table_known = false;
    s_->depth_cut = false;
    s_->problems.clear();
    // A device found gone while mounting gives FAT_NOT_READY.
    fat_result mounted = fat::volume::open(device, &s_->vol);
    if (mounted == FAT_NOT_READY) s_->problems.note_vanished();
    if (mounted == FAT_OK) {
        debug_printf("Start Fat Scan.\n");
        s_->load_table();
        s_->free_folders = fat_folder_index{};
        if (s_->table_known) {
            s_->find_free_folders();
            s_->vol->set_free_folders(&s_->free_folders);
        }
        s_->walk(0, 0, 0, false, 0);
        s_->walk_lost_clusters();
        s_->vol->set_free_folders(nullptr);
        if (s_->vol->gone()) {
            debug_printf("the device went away during the scan\n");
            s_->problems.note_vanished();
        }
    }
    fat_item_s root;
    root.attributes = fat::attr_directory;
    items[0] = root;
    s_->items = nullptr;
    s_->hooks = nullptr;
    return items;
}

// Reads FAT copy `copy` whole into bytes: false when it lies beyond the device
// or has unreadable parts (their bytes in *unreadable), or the device went away.
bool fat_core::state::read_table_copy(uint8_t copy, std::vector<uint8_t>& bytes, uint64_t* unreadable) {
    *unreadable = 0;
    uint64_t at = (uint64_t(layout().fat_start) + uint64_t(copy) * layout().sectors_per_fat) * 512;
    if (!device || at > device->length() || bytes.size() > device->length() - at) return false;
    if (device->read_exact(at, bytes.data(), bytes.size())) return true;
    bad_ranges bad;
    size_t filled = 0;
    if (read_tolerant(*device, at, bytes.data(), bytes.size(), &filled, &bad) == read_outcome::vanished) {
        vol->mark_gone();
        return false;
    }
    *unreadable = bad.total();
    return bad.total() == 0 && filled == bytes.size();
}

void fat_core::state::load_table() {
    table_known = false;
    chain_targets.clear();
    int bits = layout().fat_type == fat_12 ? 12 : layout().fat_type == fat_16 ? 16 : 32;
    const uint32_t entries = layout().entry_count;
    uint64_t need = bits == 12 ? (uint64_t(entries) * 3 + 1) / 2 : uint64_t(entries) * (bits / 8);
    std::vector<uint8_t> bytes(static_cast<size_t>(need));
    uint64_t unreadable = 0;
    bool whole = read_table_copy(0, bytes, &unreadable);
    if (vol->gone()) return;
    uint32_t faults = whole ? fat_table_faults(byte_view(bytes.data(), bytes.size()), bits, entries, layout().media)
                            : UINT32_MAX;
    if (faults > 0 && layout().fat_count > 1) {
        // The first copy is damaged: an intact second one describes the volume as it was.
        std::vector<uint8_t> second(bytes.size());
        uint64_t second_unreadable = 0;
        if (read_table_copy(1, second, &second_unreadable) &&
            fat_table_faults(byte_view(second.data(), second.size()), bits, entries, layout().media) == 0) {
            if (whole)
                debug_printf("the first FAT is damaged (%u faults); the second copy is used\n", faults);
            else
                debug_printf("the first FAT cannot be read whole; the second copy is used\n");
            vol->use_fat_copy(1);
            bytes = std::move(second);
            whole = true;
            unreadable = 0;
        }
        if (vol->gone()) return;
    }
    if (unreadable > 0) {
        // Which parts are unreadable is counted; a table with holes cannot judge states.
        uint64_t at = uint64_t(layout().fat_start) * 512;
        problems.note(unreadable, "the allocation table at byte " + std::to_string(at));
        debug_printf("allocation table: %llu bytes could not be read\n", (unsigned long long)unreadable);
    }
    if (!whole) return;
    table = fat_allocation::from_table(byte_view(bytes.data(), bytes.size()), bits, entries);
    table_known = table.complete();
    if (table_known) chain_targets = fat_chain_targets(byte_view(bytes.data(), bytes.size()), bits, entries);
}

item_state fat_core::state::state_of(const fat_item_s& n) const {
    if (!is_deleted(n)) return item_state::intact;
    if (!table_known) return item_state::unknown;
    if (is_directory(n)) return table.in_use(n.cluster) ? item_state::overwritten : item_state::intact;
    fat_data_plan plan = plan_deleted_data(n.cluster, n.size, cluster_bytes(), table);
    if (plan.first_in_use || !plan.complete) return item_state::overwritten;
    return plan.skipped ? item_state::assembled : item_state::intact;
}

uint64_t fat_core::state::walk_entry_budget() const {
    // Every folder cluster read twice over, the FAT12/16 root and a margin: far
    // beyond any real volume, yet a hostile one whose folders share or re-read
    // each other's clusters cannot keep the walk going without end.
    uint64_t entries_per_cluster = uint64_t(layout().sectors_per_cluster) * 16;
    return 2 * uint64_t(layout().entry_count) * entries_per_cluster + layout().root_entry_count + 65536;
}

bool fat_core::state::file_item(const fat_item_s& n) {
    auto it = items->find(n.cluster);
    if (it == items->end()) {
        items->emplace(n.cluster, n);
        token().items++;
        if (hooks->found) {
            found_item f;
            f.id = n.cluster;
            f.parent = n.parent;
            f.name = utf8_of(n.name);
            f.size = n.size;
            f.modified = n.modified;
            f.created = n.created;
            f.deleted = is_deleted(n);
            f.directory = is_directory(n);
            f.attributes = n.attributes;
            f.state = item_state(n.state);
            f.short_name = utf8_of(n.short_name);
            hooks->found(f);
        }
        return true;
    }
    fat_item_s& e = it->second;
    if (e.under_deleted == 0 && n.under_deleted == 1) return false;
    if (is_deleted(n) && !is_directory(n)) {
        if (e.created < n.created) e = n;
    } else if (is_deleted(n) && is_directory(n)) {
        bool e_live_dir = is_directory(e) && !is_deleted(e);
        if (!e_live_dir && e.created < n.created) e = n;
    } else if (is_directory(n)) {
        e = n;
    }
    return false;
}

void fat_core::state::walk(uint32_t cluster, uint32_t parent, uint8_t under_deleted, bool deleted_folder,
                           int depth, bool one_cluster) {
    if (depth > fat_max_walk_depth) {
        depth_cut = true;
        return;
    }
    // A deleted folder's chain is gone: its clusters are found by looking.
    fat::folder dir;
    if (vol->open_folder_at(cluster, {deleted_folder, one_cluster}, &dir) != FAT_OK) {
        if (cluster == 0) debug_printf("f_opendir failed 1.\n");
        return;
    }
    scan_token& t = token();
    const uint64_t budget = walk_entry_budget();
    while (!t.stop_requested() && !vol->gone()) {
        if (!t.wait_while_paused()) return;
        uint64_t before = t.entries.load(std::memory_order_relaxed);
        if (before >= budget) return;
        t.progress.store(entry_progress(before), std::memory_order_relaxed);
        t.entries.store(before + 1, std::memory_order_relaxed);
        if (hooks->progress && before % progress_every == 0)
            hooks->progress(t.progress.load(std::memory_order_relaxed), before + 1,
                            t.items.load(std::memory_order_relaxed));
        debug_printf("file count:%llu\n", (unsigned long long)(before + 1));

        fat::entry info;
        // A failure while moving past the entry just read (a deleted folder's
        // chain ends after its first cluster) still delivers that entry: file it,
        // then end this folder.
        bool last = false;
        if (fat_result r = dir.next(&info); r != FAT_OK) {
            if (vol->gone()) return;
            if (r == FAT_DISK_ERROR && dir.skipped_sector() != 0) {
                const uint64_t at = uint64_t(dir.skipped_sector()) * 512;
                std::string place = "folder " + folder_label(cluster) + ": sector at byte " + std::to_string(at);
                debug_printf("%s could not be read; skipped\n", place.c_str());
                problems.note(512, std::move(place));
                if (!dir.more()) return;
                continue;
            }
            debug_printf("f_readdir failed 1.\n");
            if (info.short_name.empty()) return;
            last = true;
        }
        if (info.short_name.empty()) return;
        if (info.first_cluster == 0 || info.short_name[0] == u'.' ||
            !(info.attributes & (fat::attr_directory | fat::attr_deleted))) {
            if (last) return;
            continue;
        }

        bool recovered_name = !info.deleted_long_name.empty();
        const std::u16string& name = info.name();
        fat_item_s n;
        n.cluster = info.first_cluster;
        n.parent = parent;
        n.size = info.size;
        n.modified = fat_time(info.write_date, info.write_time);
        n.created = fat_time(info.create_date, info.create_time);
        n.attributes = uint8_t(info.attributes | (under_deleted ? fat::attr_deleted : 0));
        n.under_deleted = under_deleted;
        for (size_t i = 0; i < item_name_units && i < name.size(); ++i) n.name[i] = name[i];
        if (recovered_name) {
            // The long name gives the first letter back; the short name keeps its "#".
            for (size_t i = 0; i + 1 < std::size(n.short_name) && i < info.short_name.size(); ++i)
                n.short_name[i] = info.short_name[i];
            n.short_name[0] = u'#';
        } else if (n.attributes & fat::attr_deleted) {
            n.name[0] = u'#';
        }
        n.state = uint8_t(state_of(n));

        bool is_new = file_item(n);
        if (is_new && is_directory(n)) {
            uint8_t below = under_deleted ? 1 : (is_deleted(n) ? 1 : 0);
            walk(n.cluster, n.cluster, below, (info.attributes & fat::attr_deleted) != 0, depth + 1);
        }
        if (last) return;
    }
}

bool fat_core::state::read_or_zero(uint64_t offset, std::vector<uint8_t>& bytes) {
    if (device->read_exact(offset, bytes.data(), bytes.size())) return true;
    std::fill(bytes.begin(), bytes.end(), 0);
    bad_ranges bad;
    size_t filled = 0;
    if (read_tolerant(*device, offset, bytes.data(), bytes.size(), &filled, &bad) == read_outcome::vanished) {
        vol->mark_gone();
        return false;
    }
    return true;
}

void fat_core::state::find_free_folders() {
    const uint32_t per_cluster = cluster_bytes();
    const uint32_t batch = uint32_t(std::max<size_t>(1, sweep_read_bytes / per_cluster));
    const fat_folder_limits limits = folder_limits();
    std::vector<uint8_t> bytes;
    const uint32_t end = layout().entry_count;
    for (uint32_t c = table.next_free(2); c < end && !vol->gone();) {
        if (token().stop_requested()) return;
        const uint32_t in_use = table.next_in_use(c);
        const uint32_t n = std::min(batch, in_use - c);
        bytes.resize(size_t(n) * per_cluster);
        if (!read_or_zero(cluster_offset(c), bytes)) return;
        for (uint32_t k = 0; k < n; ++k) {
            byte_view cluster(bytes.data() + size_t(k) * per_cluster, per_cluster);
            folder_check check = check_folder_cluster(cluster, limits);
            if (check != folder_check::entries && check != folder_check::ends_here) continue;
            free_folders.clusters.push_back(c + k);
            free_folders.starts.push_back(starts_folder(cluster) ? 1 : 0);
        }
        c = c + n < in_use ? c + n : table.next_free(in_use);
    }
    free_folders.read.assign(free_folders.clusters.size(), 0);
    free_folders.chain_targets = std::move(chain_targets);
    debug_printf("%zu free clusters read as folder entries\n", free_folders.clusters.size());
}

uint32_t fat_core::state::named_parent(byte_view cluster, uint32_t self) {
    const fat_folder_limits limits = folder_limits();
    std::vector<uint8_t> first(2 * fat::entry_bytes);
    std::optional<uint32_t> named;
    for (size_t at = 0; cluster.has(at, fat::entry_bytes); at += fat::entry_bytes) {
        byte_view e = cluster.sub(at, fat::entry_bytes);
        if (e.u8(fat::dir_name) == 0) break;
        uint8_t attributes = e.u8(fat::dir_attributes);
        if ((attributes & 0x3F) == fat::attr_long_name || !(attributes & fat::attr_directory) ||
            (attributes & fat::attr_volume) || e.u8(fat::dir_name) == '.' || !sane_folder_entry(e, limits))
            continue;
        uint32_t sub = e.le16(fat::dir_cluster_low) | (limits.fat32 ? uint32_t(e.le16(fat::dir_cluster_high)) << 16 : 0);
        if (sub < 2 || sub >= layout().entry_count || sub == self) continue;
        if (!read_or_zero(cluster_offset(sub), first)) return fat_lost_files_id;
        byte_view dots(first.data(), first.size());
        if (!starts_folder(dots)) continue;
        uint32_t self_named = dots.le16(fat::dir_cluster_low) |
                              (limits.fat32 ? uint32_t(dots.le16(fat::dir_cluster_high)) << 16 : 0);
        if (self_named != sub) continue;
        byte_view up = dots.sub(fat::entry_bytes, fat::entry_bytes);
        uint32_t parent = up.le16(fat::dir_cluster_low) | (limits.fat32 ? uint32_t(up.le16(fat::dir_cluster_high)) << 16 : 0);
        if (named && *named != parent) return fat_lost_files_id;
        named = parent;
    }
    if (!named) return fat_lost_files_id;
    // ".." names the root as 0 (also on FAT32, whose root has a cluster).
    if (*named == 0 || (layout().fat_type == fat_32 && *named == layout().root_start)) return 0;
    auto it = items->find(*named);
    if (it == items->end() || !is_directory(it->second)) return fat_lost_files_id;
    return *named;
}

void fat_core::state::walk_lost_clusters() {
    // Folders nested deeper than the walk goes were left unread on purpose:
    // such a volume is damaged or hostile, and its clusters are not lost ones.
    if (depth_cut) {
        debug_printf("folders nested too deep; free folder clusters are not searched\n");
        return;
    }
    std::vector<uint8_t> bytes(cluster_bytes());
    for (size_t i = 0; i < free_folders.clusters.size(); ++i) {
        if (token().stop_requested() || vol->gone()) return;
        // A folder's first cluster is no lost part of another folder, and a
        // cluster an item starts at belongs to that item.
        if (free_folders.read[i] || free_folders.starts[i]) continue;
        const uint32_t c = free_folders.clusters[i];
        if (items->count(c)) continue;
        if (!read_or_zero(cluster_offset(c), bytes)) return;
        if (!has_listed_entry(byte_view(bytes.data(), bytes.size()), layout().fat_type == fat_32)) continue;
        uint32_t parent = named_parent(byte_view(bytes.data(), bytes.size()), c);
        if (parent == fat_lost_files_id && !items->count(fat_lost_files_id)) {
            fat_item_s lost;
            lost.cluster = fat_lost_files_id;
            lost.attributes = fat::attr_directory;
            lost.state = uint8_t(item_state::intact);
            std::copy(std::begin(lost_files_name), std::end(lost_files_name), lost.name);
            file_item(lost);
        }
        debug_printf("free folder cluster %u: entries listed under %s\n", c, folder_label(parent).c_str());
        walk(c, parent, 1, true, 1, true);
    }
}

std::string fat_core::state::folder_label(uint32_t cluster) const {
    if (cluster == 0) return "/";
    auto it = items->find(cluster);
    return it == items->end() ? "at cluster " + std::to_string(cluster) : "\"" + utf8_of(it->second.name) + "\"";
}

int fat_core::recover(const found_item& item, const std::string& destination) {
    return recover(uint32_t(item.id), uint32_t(item.size), item.deleted, destination);
}

int fat_core::recover(uint32_t cluster, uint32_t size, bool deleted, const std::string& destination) {
    s_->last_unreadable = 0;
    if (!s_->vol) return -1;
    fat::volume& v = *s_->vol;
    if (deleted && s_->table_known) {
        // Around live files when any had to be stepped over; otherwise as one run.
        fat_data_plan plan = plan_deleted_data(cluster, size, v.cluster_bytes(), s_->table);
        if (plan.skipped > 0) return recover_runs(v, plan, destination, &s_->last_unreadable);
    }
    fat::file file = v.open_file(cluster, size);

    int fd = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;  // callers create the file first and judge that themselves
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[copy_chunk]);
    int result = 0;
    int write_error = 0;
    for (;;) {
        uint32_t got = 0;
        fat_result r = file.read(buffer.get(), copy_chunk, &got, deleted);
        size_t written = 0;
        while (written < got && write_error == 0) {
            ssize_t w = ::write(fd, buffer.get() + written, got - written);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                write_error = w < 0 ? errno : ENOSPC;
                break;
            }
            written += size_t(w);
        }
        if (write_error != 0) break;
        // A read error keeps the bytes read so far but is not a success.
        if (r != FAT_OK) {
            result = -1;
            break;
        }
        if (got == 0) break;
    }
    s_->last_unreadable = file.unreadable();
    if (::close(fd) != 0 && write_error == 0) write_error = errno;
    if (write_error != 0) {
        // A file the destination could not take whole is not left behind.
        ::unlink(destination.c_str());
        errno = write_error;
        return recover_destination_failed;
    }
    return result;
}

std::vector<found_item> fat_found_items(const fat_item_map& items) {
    std::vector<found_item> out;
    out.reserve(items.size());
    for (const auto& [id, item] : items) {
        if (id == 0) continue;
        found_item f;
        f.id = id;
        f.parent = item.parent;
        f.name = utf8_of(item.name);
        f.size = item.size;
        f.modified = item.modified;
        f.created = item.created;
        f.deleted = is_deleted(item);
        f.directory = is_directory(item);
        f.attributes = item.attributes;
        f.state = item_state(item.state);
        f.short_name = utf8_of(item.short_name);
        out.push_back(std::move(f));
    }
    std::sort(out.begin(), out.end(), [](const found_item& a, const found_item& b) { return a.id < b.id; });
    return out;
}

}  // namespace qv
