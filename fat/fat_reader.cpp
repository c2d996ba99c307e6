#include "fat/fat_reader.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>

#include "devices/le_bytes.hpp"
#include "devices/device_handle.hpp"
#include "devices/tolerant_read.hpp"
#include "fat/fat_deleted_name.hpp"
#include "fat/fat_folder_check.hpp"

using qv::cp936_to_unicode;
using qv::fat_12;
using qv::fat_16;
using qv::fat_32;
using qv::fat_deleted_run_entries;
using qv::fat_file_error;
using qv::fat_file_read;
using qv::fat_folder_index;
using qv::fat_max_transfer_sectors;
using qv::fat_none;
using qv::fat_short_name_checksum;
using qv::fat_upper;
using qv::unicode_to_cp936;

namespace {

using namespace qv::fat;


constexpr uint8_t case_lower_base = 0x08;
constexpr uint8_t case_lower_ext = 0x10;
constexpr uint32_t sector_size = 512;
constexpr uint32_t fat_read_error = 0xFFFFFFFF;
constexpr size_t long_name_units = 256;

std::atomic<uint16_t> mount_counter{0};

// Reads sectors [first, first + count) of the volume into destination.
bool read_volume_sectors(fat_volume* v, void* destination, uint64_t first, uint32_t count) {
    if (!v->device || count > fat_max_transfer_sectors || first > UINT64_MAX / sector_size) return false;
    return v->device->read_exact(first * sector_size, destination, size_t(count) * sector_size);
}

// After a failed read: marks the volume gone when the device is.
void note_failed_read(fat_volume* v, int error_number) {
    if (v->device && qv::device_gone(error_number, *v->device)) v->gone = true;
}

// Reads sectors of a file into destination; sectors that cannot be read
// become zeros, their bytes in *unreadable. False when the device has gone or
// the sectors lie past its end.
bool read_file_sectors(fat_volume* v, void* destination, uint64_t first, uint32_t count, uint64_t* unreadable) {
    *unreadable = 0;
    if (read_volume_sectors(v, destination, first, count)) return true;
    if (!v->device || count > fat_max_transfer_sectors || first > UINT64_MAX / sector_size) return false;
    qv::bad_ranges bad;
    size_t filled = 0;
    const size_t want = size_t(count) * sector_size;
    if (qv::read_tolerant(*v->device, first * sector_size, destination, want, &filled, &bad) ==
        qv::read_outcome::vanished) {
        v->gone = true;
        return false;
    }
    if (filled < want) return false;
    *unreadable = bad.total();
    return true;
}

// Reads a sector into the window unless it is already there.
fat_result load_window(fat_volume* v, uint32_t sector) {
    if (sector == 0) return FAT_OK;
    if (sector == v->window_sector) return FAT_OK;
    if (v->gone) return FAT_NOT_READY;
    errno = 0;
    if (!read_volume_sectors(v, v->window, sector, 1)) {
        note_failed_read(v, errno);
        v->window_sector = 0;
        return v->gone ? FAT_NOT_READY : FAT_DISK_ERROR;
    }
    v->window_sector = sector;
    return FAT_OK;
}

// 0: FAT boot sector, 1: a boot record that is not FAT, 2: no boot signature, 3: read error.
int check_boot_sector(fat_volume* v) {
    v->window_sector = 0;
    if (!read_volume_sectors(v, v->window, 0, 1)) return 3;
    qv::byte_view bs(v->window, sector_size);
    if (bs.le16(bs_signature) != boot_signature) return 2;
    if (bs.equals(bs_fs_type16, "FAT") || bs.equals(bs_fs_type32, "FAT")) return 0;
    return 1;
}

uint64_t cluster_to_sector(const fat_volume* v, uint32_t cluster) {
    if (uint32_t(cluster - 2) >= v->entry_count - 2) return 0;
    return uint64_t(cluster - 2) * v->sectors_per_cluster + v->data_start;
}

// Allocation-table entry of a cluster: 1 for a cluster outside the table,
// fat_read_error on a read error.
uint32_t fat_entry(fat_volume* v, uint32_t x) {
    if (x < 2 || x >= v->entry_count) return 1;
    const uint32_t table = uint32_t(v->fat_start + uint64_t(v->active_fat) * v->sectors_per_fat);
    switch (v->fat_type) {
        case fat_12: {
            uint32_t b = x + x / 2;
            if (load_window(v, table + b / sector_size) != FAT_OK) return fat_read_error;
            uint32_t lo = v->window[b % sector_size];
            if (load_window(v, table + (b + 1) / sector_size) != FAT_OK) return fat_read_error;
            uint32_t value = lo | uint32_t(v->window[(b + 1) % sector_size]) << 8;
            return (x & 1) ? value >> 4 : value & 0xFFF;
        }
        case fat_16:
            if (load_window(v, table + x / 256) != FAT_OK) return fat_read_error;
            return qv::byte_view(v->window, sector_size).le16((x * 2) % sector_size);
        case fat_32:
            if (load_window(v, table + x / 128) != FAT_OK) return fat_read_error;
            return qv::byte_view(v->window, sector_size).le32((x * 4) % sector_size) & 0x0FFFFFFF;
        default:
            return 1;
    }
}

fat_result mount(fat_volume* v) {
    v->fat_type = fat_none;
    v->gone = false;
    if (!v->device->medium_present()) return FAT_NOT_READY;

    errno = 0;
    int k = check_boot_sector(v);
    if (k == 3) {
        note_failed_read(v, errno);
        return v->gone ? FAT_NOT_READY : FAT_DISK_ERROR;
    }
    if (k != 0) return FAT_NO_FILESYSTEM;

    qv::byte_view bs(v->window, sector_size);
    if (bs.le16(bpb_bytes_per_sector) != sector_size) return FAT_NO_FILESYSTEM;
    uint32_t per_fat = bs.le16(bpb_sectors_per_fat16);
    if (per_fat == 0) per_fat = bs.le32(bpb_sectors_per_fat32);
    uint8_t fats = bs.u8(bpb_fat_count);
    if (fats != 1 && fats != 2) return FAT_NO_FILESYSTEM;
    uint8_t spc = bs.u8(bpb_sectors_per_cluster);
    if (spc == 0 || (spc & (spc - 1)) != 0) return FAT_NO_FILESYSTEM;
    uint16_t root_entries = bs.le16(bpb_root_entries);
    if (root_entries % 16 != 0) return FAT_NO_FILESYSTEM;
    uint32_t total = bs.le16(bpb_total_sectors16);
    if (total == 0) total = bs.le32(bpb_total_sectors32);
    uint16_t reserved = bs.le16(bpb_reserved_sectors);
    if (reserved == 0) return FAT_NO_FILESYSTEM;

    uint64_t system = uint64_t(reserved) + uint64_t(per_fat) * fats + root_entries / 16;
    if (total < system) return FAT_NO_FILESYSTEM;
    uint64_t clusters = (total - system) / spc;
    if (clusters == 0) return FAT_NO_FILESYSTEM;
    uint8_t type = clusters < 4086 ? fat_12 : clusters < 65526 ? fat_16 : fat_32;

    v->entry_count = uint32_t(clusters + 2);
    v->fat_start = reserved;
    v->data_start = uint32_t(system);
    v->sectors_per_fat = per_fat;
    v->fat_count = fats;
    v->media = bs.u8(bpb_media);
    v->active_fat = 0;
    v->sectors_per_cluster = spc;
    v->root_entry_count = root_entries;
    uint64_t fat_bytes;
    if (type == fat_32) {
        if (root_entries != 0) return FAT_NO_FILESYSTEM;
        v->root_start = bs.le32(bpb_root_cluster32);
        fat_bytes = uint64_t(v->entry_count) * 4;
    } else {
        if (root_entries == 0) return FAT_NO_FILESYSTEM;
        v->root_start = uint32_t(v->fat_start + uint64_t(per_fat) * fats);
        fat_bytes = type == fat_16 ? uint64_t(v->entry_count) * 2
                                   : uint64_t(v->entry_count) * 3 / 2 + (v->entry_count & 1);
    }
    if (per_fat < (fat_bytes + 511) / 512) return FAT_NO_FILESYSTEM;

    v->mount_id = uint16_t(mount_counter.fetch_add(1, std::memory_order_relaxed) + 1);
    v->fat_type = type;
    v->window_sector = 0;
    return FAT_OK;
}

fat_result validate(const fat_volume* v, uint16_t mount_id) {
    if (!v || v->fat_type == fat_none || v->mount_id != mount_id) return FAT_INVALID_OBJECT;
    return FAT_OK;
}

fat_result dir_rewind(fat_dir* d) {
    fat_volume* v = d->volume;
    uint32_t c = d->start_cluster;
    if (c == 1 || c >= v->entry_count) return FAT_INTERNAL_ERROR;
    if (c == 0 && v->fat_type == fat_32) c = v->root_start;
    if (c != 0) {
        uint64_t s = cluster_to_sector(v, c);
        if (s == 0) return FAT_INTERNAL_ERROR;
        d->cluster = c;
        d->sector = uint32_t(s);
        if (v->free_folders) v->free_folders->mark_read(c);
    } else {
        if (v->root_entry_count == 0) return FAT_INTERNAL_ERROR;
        d->cluster = 0;
        d->sector = v->root_start;
    }
    d->index = 0;
    d->entry = 0;
    d->loop_mark = d->cluster;
    d->loop_power = 1;
    d->loop_steps = 0;
    d->deleted_run_count = 0;
    d->head_jumps = 0;
    return FAT_OK;
}

// The smallest table value that ends a chain.
uint32_t end_of_chain_mark(const fat_volume* v) {
    return v->fat_type == fat_12 ? 0xFF8 : v->fat_type == fat_16 ? 0xFFF8 : 0x0FFFFFF8;
}

// True when cluster c's bytes read as directory entries with at least one
// entry before any end mark (and, with must_be_free, the table marks it free):
// a folder without a chain goes on there. Reads the cluster through the
// window, sector by sector.
bool folder_cluster(fat_volume* v, uint32_t c, bool must_be_free) {
    if (c < 2 || c >= v->entry_count) return false;
    if (must_be_free && fat_entry(v, c) != 0) return false;
    uint64_t first = cluster_to_sector(v, c);
    if (first == 0) return false;
    const qv::fat_folder_limits limits{v->entry_count, uint64_t(v->data_start) * sector_size +
                                                           uint64_t(v->entry_count - 2) * v->sectors_per_cluster * sector_size,
                                       v->fat_type == fat_32};
    for (uint32_t k = 0; k < v->sectors_per_cluster; ++k) {
        if (first + k > UINT32_MAX || load_window(v, uint32_t(first + k)) != FAT_OK) return false;
        qv::folder_check check = qv::check_folder_cluster(qv::byte_view(v->window, sector_size), limits);
        if (check == qv::folder_check::not_entries) return false;
        if (check == qv::folder_check::empty) return k != 0;
        if (check == qv::folder_check::ends_here) return true;
    }
    return true;
}

// How far past a folder cluster without a chain the next one of the same
// folder is looked for: file data written between the folder's clusters is
// stepped over.
constexpr uint32_t folder_gap_clusters = 16384;

// The cluster where a folder without a chain goes on after cluster `from`:
// the first free cluster within reach that reads as directory entries. 0 when
// none is, or when another folder's first cluster ("." first) comes before it.
uint32_t next_folder_cluster(fat_volume* v, uint32_t from) {
    uint64_t end = std::min<uint64_t>(v->entry_count, uint64_t(from) + 1 + folder_gap_clusters);
    if (const fat_folder_index* index = v->free_folders) {
        // The free clusters that read as entries are known: no need to read the rest.
        auto it = std::upper_bound(index->clusters.begin(), index->clusters.end(), from);
        for (; it != index->clusters.end() && *it < end; ++it) {
            size_t i = size_t(it - index->clusters.begin());
            if (index->starts[i]) return 0;
            if (!index->read[i]) return *it;
        }
        return 0;
    }
    for (uint64_t c = uint64_t(from) + 1; c < end; ++c) {
        uint32_t value = fat_entry(v, uint32_t(c));
        if (value == fat_read_error) return 0;
        if (value != 0) continue;  // live data in between
        uint64_t s = cluster_to_sector(v, uint32_t(c));
        if (s == 0 || s > UINT32_MAX || load_window(v, uint32_t(s)) != FAT_OK) return 0;
        if (std::memcmp(v->window + dir_name, ".          ", 11) == 0 &&
            std::memcmp(v->window + 32 + dir_name, "..         ", 11) == 0)
            return 0;
        if (folder_cluster(v, uint32_t(c), true)) return uint32_t(c);
    }
    return 0;
}

// True when cluster c begins with the "." and ".." entries of a folder's first cluster.
bool starts_a_folder(fat_volume* v, uint32_t c) {
    uint64_t s = cluster_to_sector(v, c);
    if (s == 0 || s > UINT32_MAX || load_window(v, uint32_t(s)) != FAT_OK) return false;
    return std::memcmp(v->window + dir_name, ".          ", 11) == 0 &&
           std::memcmp(v->window + 32 + dir_name, "..         ", 11) == 0;
}

// Where a live folder goes on whose cluster the table marks free (its chain
// was lost there): the first cluster within reach that is in use, that no
// table entry points at (so its chain has lost its head) and that reads as
// directory entries without being a folder's first cluster. 0 when none is.
uint32_t next_chain_head(fat_volume* v, uint32_t from) {
    const fat_folder_index* index = v->free_folders;
    if (!index || index->chain_targets.size() != v->entry_count) return 0;
    uint64_t end = std::min<uint64_t>(v->entry_count, uint64_t(from) + 1 + folder_gap_clusters);
    const uint32_t bad = end_of_chain_mark(v) - 1;
    for (uint64_t c = uint64_t(from) + 1; c < end; ++c) {
        if (index->chain_targets[c]) continue;
        uint32_t value = fat_entry(v, uint32_t(c));
        if (value == fat_read_error) return 0;
        if (value == 0 || value == 1 || value == bad || (value < end_of_chain_mark(v) && value >= v->entry_count))
            continue;
        // Live sub-folders start chains too: their first clusters are passed over.
        if (starts_a_folder(v, uint32_t(c))) continue;
        if (folder_cluster(v, uint32_t(c), false)) return uint32_t(c);
    }
    return 0;
}

// A folder whose chain is broken in more places than this is not pieced together further.
constexpr uint8_t max_head_jumps = 8;

fat_result dir_next(fat_dir* d) {
    fat_volume* v = d->volume;
    uint16_t i = uint16_t(d->index + 1);
    if (i == 0 || d->sector == 0) return FAT_NO_ENTRY;
    if (i % 16 == 0) {
        d->sector++;
        if (d->cluster == 0) {
            if (i >= v->root_entry_count) return FAT_NO_ENTRY;
        } else if ((i / 16) % v->sectors_per_cluster == 0) {
            if (d->one_cluster) return FAT_NO_ENTRY;
            uint32_t next = fat_entry(v, d->cluster);
            if (next == fat_read_error) return FAT_DISK_ERROR;
            bool chained = !d->free_walk && next >= 2 && next < v->entry_count;
            if (!chained && !d->free_walk && next >= end_of_chain_mark(v)) return FAT_NO_ENTRY;
            if (chained) {
                if (next == d->loop_mark) return FAT_NO_ENTRY;  // the chain runs in a circle
                if (++d->loop_steps == d->loop_power) {
                    d->loop_mark = next;
                    d->loop_power *= 2;
                    d->loop_steps = 0;
                }
            } else if (uint32_t head = !d->free_walk && next == 0 && d->head_jumps < max_head_jumps
                                           ? next_chain_head(v, d->cluster)
                                           : 0;
                       head != 0) {
                ++d->head_jumps;
                // A live folder whose chain the table lost at this cluster: the
                // rest of its chain is still there, only its link is gone.
                next = head;
            } else {
                // Free, reserved, bad or out of range: no chain to follow. The
                // cluster was full (no end mark yet): the folder goes on in the
                // next free cluster that reads as directory entries.
                d->free_walk = 1;
                uint32_t after = next_folder_cluster(v, d->cluster);
                if (after == 0) return next < v->entry_count ? FAT_INTERNAL_ERROR : FAT_NO_ENTRY;
                next = after;
            }
            d->cluster = next;
            d->sector = uint32_t(cluster_to_sector(v, next));
            if (v->free_folders) v->free_folders->mark_read(next);
        }
    }
    d->index = i;
    d->entry = uint16_t((i % 16) * 32);
    return FAT_OK;
}

// Stores one long-name entry's 13 units; false when they do not fit the
// 256-unit buffer (a name of up to 255 units and its terminating zero).
bool pick_lfn(char16_t* name, qv::byte_view e) {
    uint8_t seq = e.u8(0);
    if ((seq & 0x3F) == 0) return false;
    size_t i = size_t((seq & 0x3F) - 1) * 13;
    char16_t last = 1;
    for (size_t off : lfn_unit_offsets) {
        char16_t u = e.le16(off);
        if (last != 0) {
            if (i >= long_name_units) return false;
            name[i++] = last = u;
        } else if (u != 0xFFFF) {
            return false;
        }
    }
    if ((seq & lfn_last) && last != 0) {
        if (i >= long_name_units) return false;
        name[i] = 0;
    }
    return true;
}

// Reads entries until a short entry (live or deleted) is current.
// Keeps a deleted long-name entry in the folder's ring of recent ones.
void remember_deleted_long_entry(fat_dir* d, const uint8_t* entry) {
    constexpr uint8_t ring = fat_deleted_run_entries;
    std::memcpy(d->deleted_run + size_t(d->deleted_run_head) * 32, entry, 32);
    d->deleted_run_head = uint8_t((d->deleted_run_head + 1) % ring);
    if (d->deleted_run_count < ring) ++d->deleted_run_count;
}

fat_result dir_read(fat_dir* d) {
    fat_volume* v = d->volume;
    uint8_t order = 0xFF, sum = 0xFF;
    d->deleted_run_count = 0;
    for (;;) {
        if (d->sector == 0) return FAT_NO_ENTRY;
        if (fat_result loaded = load_window(v, d->sector); loaded != FAT_OK) {
            if (loaded == FAT_NOT_READY) {
                d->sector = 0;
                return FAT_NOT_READY;
            }
            // An unreadable sector of the folder is skipped: the entries after it
            // (in this cluster or along the chain) are read on.
            d->skipped_sector = d->sector;
            d->index = uint16_t(d->index | 15);
            if (dir_next(d) != FAT_OK) d->sector = 0;
            return FAT_DISK_ERROR;
        }
        qv::byte_view e(v->window + d->entry, 32);
        uint8_t first = e.u8(dir_name);
        if (first == 0) {
            d->sector = 0;
            return FAT_NO_ENTRY;
        }
        uint8_t attr = e.u8(dir_attributes) & 0x7F;
        d->deleted = first == deleted_mark ? 1 : 0;
        bool short_entry = attr != attr_long_name && !(attr & attr_volume) && !(!d->deleted && first == '.');
        if (d->deleted && attr == attr_long_name)
            remember_deleted_long_entry(d, v->window + d->entry);
        else if (!short_entry)
            d->deleted_run_count = 0;
        if (!d->deleted && first == '.') {
            order = 0xFF;
        } else if ((attr & attr_volume) && attr != attr_long_name) {
            order = 0xFF;
        } else if (attr == attr_long_name) {
            bool go_on = true;
            if (first & lfn_last) {
                sum = e.u8(lfn_checksum);
                order = first & 0xBF;
                d->lfn_index = d->index;
            } else if (first != order) {
                order = 0xFF;
                go_on = false;
            }
            if (go_on) {
                if (sum == e.u8(lfn_checksum) && pick_lfn(d->long_name, e))
                    --order;
                else
                    order = 0xFF;
            }
        } else {
            if (!(order == 0 && sum == fat_short_name_checksum(v->window + d->entry)))
                d->lfn_index = 0xFFFF;
            return FAT_OK;
        }
        fat_result r = dir_next(d);
        if (r != FAT_OK) {
            d->sector = 0;
            return r;
        }
    }
}

bool is_lead_byte(uint8_t b) { return b >= 0x81 && b <= 0xFE; }
bool is_trail_byte(uint8_t b) { return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFE); }

// Decodes bytes [from, to) of a short name, joining double-byte codes that
// start before `pair_limit`; the first byte of a deleted entry stands alone.
size_t decode_short(const uint8_t* name, size_t from, size_t to, size_t pair_limit, bool lower,
                    bool single_first, char16_t* out, size_t n) {
    for (size_t i = from; i < to; ++i) {
        uint8_t b = name[i];
        if (b == ' ') break;
        if (i == 0 && b == kanji_lead_mark) b = deleted_mark;
        uint16_t code = b;
        bool alone = single_first && i == 0;
        if (!alone && is_lead_byte(b) && i < pair_limit && i + 1 < to && is_trail_byte(name[i + 1])) {
            code = uint16_t(b << 8 | name[i + 1]);
            ++i;
        }
        char16_t u;
        if (code < 0x80) {
            u = (lower && code >= 'A' && code <= 'Z') ? char16_t(code + 0x20) : char16_t(code);
        } else {
            u = cp936_to_unicode(code);
            if (u == 0) u = u'?';
        }
        out[n++] = u;
    }
    return n;
}

void fill_info(const fat_dir* d, fat_entry_info* info) {
    const fat_volume* v = d->volume;
    info->short_name[0] = 0;
    if (info->long_name && info->long_name_size) info->long_name[0] = 0;
    if (info->deleted_long_name && info->deleted_long_name_size) info->deleted_long_name[0] = 0;
    if (d->sector == 0) return;
    qv::byte_view e(v->window + d->entry, 32);
    const uint8_t* name = v->window + d->entry;
    uint8_t flags = e.u8(dir_case_flags);
    size_t n = decode_short(name, 0, 8, 7, flags & case_lower_base, d->deleted != 0, info->short_name, 0);
    if (name[8] != ' ') {
        info->short_name[n++] = u'.';
        n = decode_short(name, 8, 11, 10, flags & case_lower_ext, false, info->short_name, n);
    }
    info->short_name[n] = 0;
    info->attributes = uint8_t(e.u8(dir_attributes) | (d->deleted ? attr_deleted : 0));
    info->first_cluster = e.le16(dir_cluster_low);
    if (v->fat_type == fat_32) info->first_cluster |= uint32_t(e.le16(dir_cluster_high)) << 16;
    info->size = e.le32(dir_file_size);
    info->write_date = e.le16(dir_write_date);
    info->write_time = e.le16(dir_write_time);
    info->create_date = e.le16(dir_create_date);
    info->create_time = e.le16(dir_create_time);
    if (info->deleted_long_name && info->deleted_long_name_size) info->deleted_long_name[0] = 0;
    if (d->deleted && d->lfn_index == 0xFFFF && d->deleted_run_count > 0 && info->deleted_long_name &&
        info->deleted_long_name_size) {
        // The ring, oldest entry first, ends with the entry right before this one.
        constexpr uint8_t ring = fat_deleted_run_entries;
        uint8_t run[sizeof d->deleted_run];
        for (uint8_t k = 0; k < d->deleted_run_count; ++k) {
            uint8_t slot = uint8_t((d->deleted_run_head + ring - d->deleted_run_count + k) % ring);
            std::memcpy(run + size_t(k) * 32, d->deleted_run + size_t(slot) * 32, 32);
        }
        auto found = qv::recover_deleted_long_name(qv::byte_view(run, size_t(d->deleted_run_count) * 32), e);
        if (found && found->name.size() < info->deleted_long_name_size) {
            std::memcpy(info->deleted_long_name, found->name.data(), found->name.size() * sizeof(char16_t));
            info->deleted_long_name[found->name.size()] = 0;
        }
    }
    if (d->lfn_index != 0xFFFF && info->long_name && info->long_name_size) {
        size_t len = 0;
        while (len < max_name_units && d->long_name[len]) ++len;
        if (len < info->long_name_size) {
            std::memcpy(info->long_name, d->long_name, len * sizeof(char16_t));
            info->long_name[len] = 0;
        }
    }
}

// Parses one path component into the 11-byte short form and the UTF-16 name.
fat_result parse_component(const char16_t** path, char16_t* lfn, uint8_t* sfn, bool* needs_long) {
    const char16_t* p = *path;
    size_t n = 0;
    for (;;) {
        char16_t c = *p;
        if (c < 0x20 || c == u'/' || c == u'\\') break;
        ++p;
        if (n >= max_name_units) return FAT_INVALID_NAME;
        if (c == u'"' || c == u'*' || c == u':' || c == u'<' || c == u'>' || c == u'?' || c == u'|' ||
            c == 0x7F)
            return FAT_INVALID_NAME;
        lfn[n++] = c;
    }
    *path = p;
    while (n > 0 && (lfn[n - 1] == u' ' || lfn[n - 1] == u'.')) --n;
    if (n == 0) return FAT_INVALID_NAME;
    lfn[n] = 0;

    std::memset(sfn, ' ', 11);
    *needs_long = false;
    size_t last_dot = n;
    for (size_t i = 0; i < n; ++i)
        if (lfn[i] == u'.') last_dot = i;
    size_t pos = 0, limit = 8;
    bool upper = false, lower = false;
    for (size_t i = 0; i < n; ++i) {
        char16_t c = lfn[i];
        if (i == last_dot) {
            pos = 8;
            limit = 11;
            continue;
        }
        if (c == u' ' || c == u'.') {
            *needs_long = true;
            continue;
        }
        if (c >= 0x80) {
            uint16_t code = unicode_to_cp936(fat_upper(c));
            if (code == 0) {
                *needs_long = true;
                code = '_';
            }
            if (code > 0xFF) {
                if (pos + 2 > limit) {
                    *needs_long = true;
                    continue;
                }
                sfn[pos++] = uint8_t(code >> 8);
                sfn[pos++] = uint8_t(code);
                continue;
            }
            c = code;
        } else if (std::strchr("+,;=[]", int(c))) {
            c = u'_';
            *needs_long = true;
        } else if (c >= u'a' && c <= u'z') {
            lower = true;
            c = char16_t(c - 0x20);
        } else if (c >= u'A' && c <= u'Z') {
            upper = true;
        }
        if (pos >= limit) {
            *needs_long = true;
            continue;
        }
        sfn[pos++] = uint8_t(c);
    }
    if (upper && lower) *needs_long = true;
    if (sfn[0] == deleted_mark) sfn[0] = kanji_lead_mark;
    return FAT_OK;
}

bool long_name_matches(const char16_t* a, const char16_t* b) {
    size_t i = 0;
    for (; a[i] && b[i]; ++i)
        if (fat_upper(a[i]) != fat_upper(b[i])) return false;
    return a[i] == 0 && b[i] == 0;
}

// Finds a live entry of the current directory by name.
fat_result dir_find(fat_dir* d, const char16_t* lfn, const uint8_t* sfn, bool needs_long) {
    fat_result r = dir_rewind(d);
    if (r != FAT_OK) return r;
    for (;;) {
        r = dir_read(d);
        if (r != FAT_OK) return r;
        if (!d->deleted) {
            if (d->lfn_index != 0xFFFF && long_name_matches(d->long_name, lfn)) return FAT_OK;
            if (!needs_long && std::memcmp(d->volume->window + d->entry, sfn, 11) == 0) return FAT_OK;
        }
        r = dir_next(d);
        if (r != FAT_OK) return r;
    }
}

}  // namespace

namespace qv {

size_t fat_folder_index::find(uint32_t c) const {
    auto it = std::lower_bound(clusters.begin(), clusters.end(), c);
    return it != clusters.end() && *it == c ? size_t(it - clusters.begin()) : clusters.size();
}

uint8_t fat_short_name_checksum(const uint8_t* name11) {
    uint8_t x = 0;
    for (int i = 0; i < 11; ++i) x = uint8_t(((x & 1) << 7) + (x >> 1) + name11[i]);
    return x;
}

fat_result f_mount(fat_volume* volume, device_handle& device) {
    if (!volume) return FAT_INVALID_OBJECT;
    volume->device = &device;
    return mount(volume);
}

}  // namespace qv

fat_result f_opendir(fat_dir* dir, fat_volume* v, const char16_t* path) {
    if (!dir || !path) return FAT_INVALID_OBJECT;
    dir->volume = nullptr;
    if (!v || !v->device) return FAT_NOT_ENABLED;
    if (v->fat_type == fat_none) return FAT_NO_FILESYSTEM;
    dir->volume = v;
    fat_result r = FAT_OK;
    auto work = std::unique_ptr<char16_t[]>(new (std::nothrow) char16_t[long_name_units]());
    if (!work) return FAT_OUT_OF_MEMORY;
    dir->long_name = work.get();

    if (*path == u'/' || *path == u'\\') ++path;
    dir->start_cluster = 0;
    if (*path >= 0x20) {
        char16_t component[long_name_units];
        for (;;) {
            bool needs_long = false;
            r = parse_component(&path, component, dir->short_name, &needs_long);
            if (r != FAT_OK) break;
            r = dir_find(dir, component, dir->short_name, needs_long);
            if (r != FAT_OK) {
                if (r == FAT_NO_ENTRY) r = FAT_NO_PATH;
                break;
            }
            qv::byte_view e(v->window + dir->entry, 32);
            if (!(e.u8(dir_attributes) & attr_directory)) {
                r = FAT_NO_PATH;
                break;
            }
            uint32_t cluster = e.le16(dir_cluster_low);
            if (v->fat_type == fat_32) cluster |= uint32_t(e.le16(dir_cluster_high)) << 16;
            dir->start_cluster = cluster;
            if (*path < 0x20) break;
            ++path;  // the separator
            if (*path < 0x20) break;
        }
    }
    if (r == FAT_OK) {
        dir->mount_id = v->mount_id;
        r = dir_rewind(dir);
        if (r == FAT_NO_ENTRY) r = FAT_NO_PATH;
    }
    dir->long_name = nullptr;
    if (r != FAT_OK) dir->volume = nullptr;
    return r;
}

fat_result f_readdir(fat_dir* dir, fat_entry_info* info) {
    if (!dir) return FAT_INVALID_OBJECT;
    fat_result r = validate(dir->volume, dir->mount_id);
    if (r != FAT_OK) return r;
    if (!info) return dir_rewind(dir);
    auto work = std::unique_ptr<char16_t[]>(new (std::nothrow) char16_t[long_name_units]());
    if (!work) return FAT_OUT_OF_MEMORY;
    dir->long_name = work.get();
    dir->skipped_sector = 0;
    r = dir_read(dir);
    if (r == FAT_NO_ENTRY) {
        dir->sector = 0;
        r = FAT_OK;
    }
    if (r == FAT_OK) {
        fill_info(dir, info);
        if (dir->sector != 0) {
            r = dir_next(dir);
            if (r == FAT_NO_ENTRY) {
                dir->sector = 0;
                r = FAT_OK;
            }
        }
    }
    dir->long_name = nullptr;
    return r;
}

fat_result f_readfile(fat_file* file, void* destination, uint32_t count, uint32_t* bytes_read,
                      int contiguous) {
    *bytes_read = 0;
    if (!file) return FAT_INVALID_OBJECT;
    fat_result r = validate(file->volume, file->mount_id);
    if (r != FAT_OK) return r;
    if (file->flags & fat_file_error) return FAT_INTERNAL_ERROR;
    if (!(file->flags & fat_file_read)) return FAT_DENIED;
    fat_volume* v = file->volume;
    if (file->position > file->size) return FAT_OK;
    if (count > file->size - file->position) count = file->size - file->position;
    auto* out = static_cast<uint8_t*>(destination);
    auto fail = [&](fat_result code) {
        file->flags |= fat_file_error;
        return code;
    };
    while (count > 0) {
        uint32_t in_sector = file->position % sector_size;
        uint32_t q = (file->position / sector_size) % v->sectors_per_cluster;
        if (in_sector == 0 && q == 0) {
            uint32_t next;
            if (file->position == 0)
                next = file->start_cluster;
            else if (contiguous)
                next = file->cluster + 1;
            else
                next = fat_entry(v, file->cluster);
            if (next == fat_read_error) return fail(FAT_DISK_ERROR);
            if (next < 2) return fail(FAT_INTERNAL_ERROR);
            file->cluster = next;
        }
        uint64_t first = cluster_to_sector(v, file->cluster);
        if (first == 0) return fail(FAT_INTERNAL_ERROR);
        uint64_t sector = first + q;
        uint32_t done;
        if (in_sector == 0 && count >= sector_size) {
            // Whole sectors straight into the caller's memory. A contiguous read may
            // run on into the following clusters, up to one transfer at a time.
            uint64_t want = count / sector_size;
            uint64_t room = v->sectors_per_cluster - q;
            if (contiguous) {
                uint64_t to_end = uint64_t(v->entry_count - file->cluster) * v->sectors_per_cluster - q;
                room = std::min<uint64_t>(to_end, fat_max_transfer_sectors);
            }
            uint32_t n = uint32_t(std::min<uint64_t>({want, room, fat_max_transfer_sectors}));
            uint64_t lost = 0;
            if (!read_file_sectors(v, out, sector, n, &lost)) return fail(v->gone ? FAT_NOT_READY : FAT_DISK_ERROR);
            file->unreadable += lost;
            done = n * sector_size;
            // Keep `cluster` on the cluster that holds the last sector read.
            uint32_t advanced = uint32_t((q + n - 1) / v->sectors_per_cluster);
            file->cluster += advanced;
        } else {
            if (file->cached_sector != sector) {
                uint64_t lost = 0;
                if (!read_file_sectors(v, file->buffer, sector, 1, &lost))
                    return fail(v->gone ? FAT_NOT_READY : FAT_DISK_ERROR);
                file->cached_sector = sector;
                file->cached_unreadable = lost != 0;
            }
            done = std::min(sector_size - in_sector, count);
            std::memcpy(out, file->buffer + in_sector, done);
            // Only the bytes of the file taken from an unreadable sector count.
            if (file->cached_unreadable) file->unreadable += done;
        }
        file->position += done;
        out += done;
        *bytes_read += done;
        count -= done;
    }
    return FAT_OK;
}
