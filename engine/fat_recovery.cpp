#include "engine/fat_recovery.hpp"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <unordered_set>

#include "engine/debug_log.hpp"
#include "engine/fat_reader.hpp"
#include "engine/sector_device.hpp"

namespace {

// The FAT reader's volume 0, shared by the scan and later copies.
fat_volume shared_fat_volume;
// Long-name buffers of every directory read of the walk: the live long name,
// and a deleted entry's long name taken back.
char16_t shared_long_name[256];
char16_t shared_deleted_name[256];

constexpr size_t item_name_units = 259;
constexpr double progress_entries = 2000.0;
constexpr size_t copy_chunk = 64 * 1024;

bool is_directory(const fat_item_s& i) { return i.attributes & FAT_ATTR_DIRECTORY; }
bool is_deleted(const fat_item_s& i) { return i.attributes & FAT_ATTR_DELETED; }

}  // namespace

fat_recovery_c::fat_recovery_c(QObject* parent) : recovery_base_c(parent) {}

void fat_recovery_c::set_volume(const volume_item_s& volume) {
    result_published();
    volume_ = volume;
}

void fat_recovery_c::reset() {
    result_published();
    controls_.clear();
    items_.clear();
}

int64_t fat_recovery_c::fat_time(uint16_t date, uint16_t time) {
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

double fat_recovery_c::entry_progress(uint64_t entries_before) {
    double fraction = double(entries_before) / progress_entries;
    return fraction > 1.0 ? 0.99 : fraction;
}

void fat_recovery_c::run() {
    reset();
    QString path = volume_.volume_name;
    if (path.endsWith('\\')) path.chop(1);
    if (map_volume_to_drive(path) == 0) walk_located_volume();
    finish_items();
    publish_result();
}

void fat_recovery_c::scan_located_volume() {
    reset();
    walk_located_volume();
    finish_items();
    publish_result();
}

void fat_recovery_c::walk_located_volume() {
    f_attach(0, &shared_fat_volume);
    debug_printf("Start Fat Scan.\n");
    walk(0, 0, 0, false, 0);
}

void fat_recovery_c::finish_items() {
    fat_item_s root;
    root.attributes = FAT_ATTR_DIRECTORY;
    items_[0] = root;
    link_and_mark();
}

uint64_t fat_recovery_c::walk_entry_budget() {
    // Every folder cluster read twice over, the FAT12/16 root and a margin: far
    // beyond any real volume, yet a hostile one whose folders share or re-read
    // each other's clusters cannot keep the walk going without end.
    const fat_volume& v = shared_fat_volume;
    uint64_t entries_per_cluster = uint64_t(v.sectors_per_cluster) * 16;
    return 2 * uint64_t(v.entry_count) * entries_per_cluster + v.root_entry_count + 65536;
}

bool fat_recovery_c::file_item(const fat_item_s& n) {
    auto it = items_.find(n.cluster);
    if (it == items_.end()) {
        items_.emplace(n.cluster, n);
        controls_.items++;
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

void fat_recovery_c::walk(uint32_t cluster, uint32_t parent, uint8_t under_deleted, bool deleted_folder, int depth) {
    if (depth > fat_max_walk_depth) return;
    fat_dir dir;
    if (f_opendir(&dir, u"/") != FAT_OK) {
        debug_printf(cluster == 0 ? "f_opendir failed 1.\n" : "f_opendir failed 2.\n");
        return;
    }
    if (cluster != 0) {
        dir.start_cluster = cluster;
        dir.cluster = cluster;
        // A deleted folder's chain is gone: its clusters are found by looking.
        dir.free_walk = deleted_folder ? 1 : 0;
        if (f_readdir(&dir, nullptr) != FAT_OK) return;
    }
    while (controls_.stop == 0) {
        if (!controls_.wait_while_paused()) return;
        uint64_t before = controls_.entries.load();
        if (before >= walk_entry_budget()) return;
        controls_.progress = entry_progress(before);
        controls_.entries++;
        debug_printf("file count:%llu\n", (unsigned long long)(before + 1));

        fat_entry_info info;
        info.long_name = shared_long_name;
        info.long_name_size = 256;
        info.deleted_long_name = shared_deleted_name;
        info.deleted_long_name_size = 256;
        // A failure while moving past the entry just read (a deleted folder's
        // chain ends after its first cluster) still delivers that entry: file it,
        // then end this folder.
        bool last = false;
        if (f_readdir(&dir, &info) != FAT_OK) {
            debug_printf("f_readdir failed 1.\n");
            if (info.short_name[0] == 0) return;
            last = true;
        }
        if (info.short_name[0] == 0) return;
        if (info.first_cluster == 0 || info.short_name[0] == u'.' ||
            !(info.attributes & (FAT_ATTR_DIRECTORY | FAT_ATTR_DELETED))) {
            if (last) return;
            continue;
        }

        bool recovered_name = info.deleted_long_name[0] != 0;
        const char16_t* name = recovered_name ? info.deleted_long_name
                               : info.long_name[0] ? info.long_name : info.short_name;
        fat_item_s n;
        n.cluster = info.first_cluster;
        n.parent = parent;
        n.size = info.size;
        n.modified = fat_time(info.write_date, info.write_time);
        n.created = fat_time(info.create_date, info.create_time);
        n.attributes = uint8_t(info.attributes | (under_deleted ? FAT_ATTR_DELETED : 0));
        n.under_deleted = under_deleted;
        for (size_t i = 0; i < item_name_units && name[i]; ++i) n.name[i] = name[i];
        if (recovered_name) {
            // The long name gives the first letter back; the short name keeps its "#".
            for (size_t i = 0; i + 1 < std::size(n.short_name) && info.short_name[i]; ++i)
                n.short_name[i] = info.short_name[i];
            n.short_name[0] = u'#';
        } else if (n.attributes & FAT_ATTR_DELETED) {
            n.name[0] = u'#';
        }

        bool is_new = file_item(n);
        if (is_new && is_directory(n)) {
            uint8_t below = under_deleted ? 1 : (is_deleted(n) ? 1 : 0);
            walk(n.cluster, n.cluster, below, (info.attributes & FAT_ATTR_DELETED) != 0, depth + 1);
        }
        if (last) return;
    }
}

void fat_recovery_c::link_and_mark() {
    for (auto& [id, item] : items_) {
        if (id == 0 && item.parent == 0) continue;
        auto parent = items_.find(item.parent);
        if (parent != items_.end()) parent->second.children.push_back(&item);
    }
    for (auto& [id, item] : items_) {
        if (is_directory(item)) continue;
        uint32_t current = item.parent;
        // At most one step per item: a parent loop cannot hold the mark up.
        for (size_t steps = 0; steps <= items_.size(); ++steps) {
            auto it = items_.find(current);
            if (it == items_.end() || it->second.has_files) break;
            it->second.has_files = 1;
            if (current == 0) break;
            current = it->second.parent;
        }
    }
}

int32_t fat_recovery_c::recover_file(uint64_t id, QString destination) {
    result_published();
    auto it = items_.find(uint32_t(id));
    if (it == items_.end()) return -1;
    const fat_item_s& item = it->second;

    auto file = std::make_unique<fat_file>();
    file->volume = &shared_fat_volume;
    file->mount_id = shared_fat_volume.mount_id;
    file->flags = FAT_FILE_READ;
    file->size = item.size;
    file->start_cluster = item.cluster;

    QByteArray path = QFile::encodeName(destination);
    int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[copy_chunk]);
    int contiguous = (item.attributes & FAT_ATTR_DELETED) ? 1 : 0;
    int32_t result = 0;
    for (;;) {
        uint32_t got = 0;
        fat_result r = f_readfile(file.get(), buffer.get(), copy_chunk, &got, contiguous);
        size_t written = 0;
        while (written < got) {
            ssize_t w = ::write(fd, buffer.get() + written, got - written);
            if (w <= 0) {
                result = -1;
                break;
            }
            written += size_t(w);
        }
        // A read error keeps the bytes read so far but is not a success.
        if (r != FAT_OK || result != 0) {
            result = -1;
            break;
        }
        if (got == 0) break;
    }
    if (::close(fd) != 0) result = -1;
    return result;
}

int32_t fat_recovery_c::build_item_path(uint64_t id, QString* out) {
    result_published();
    QString path = volume_.mount_path;
    if (path.endsWith('/') || path.endsWith('\\')) path.chop(1);
    *out = path;
    std::vector<uint32_t> chain{uint32_t(id)};
    std::unordered_set<uint32_t> seen{uint32_t(id)};
    for (;;) {
        auto it = items_.find(chain.back());
        if (it == items_.end()) return -1;
        if (it->second.parent == 0) break;
        if (!seen.insert(it->second.parent).second) return -1;  // a parent loop
        chain.push_back(it->second.parent);
    }
    for (auto c = chain.rbegin(); c != chain.rend(); ++c) {
        path += '/';
        path += QString::fromUtf16(items_.at(*c).name);
    }
    *out = path;
    return 0;
}
