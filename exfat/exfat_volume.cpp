#include "exfat/exfat_volume.hpp"

#include "devices/tolerant_read.hpp"
#include "devices/utf16_text.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <unordered_set>

#include "exfat/entry_set.hpp"
#include "exfat/exfat_layout.hpp"

namespace qv::exfat {

namespace {

constexpr uint32_t fat_block_entries = 1u << 16;  // 256 KiB of FAT per read
constexpr uint64_t max_upcase_bytes = 2 * 0x10000 * 2;  // an uncompressed table is 128 KiB
constexpr size_t label_units = 11;
constexpr size_t read_piece = 4u << 20;

}  // namespace

void append_cluster(std::vector<extent>& runs, uint32_t c) {
    if (!runs.empty() && runs.back().cluster + uint64_t(runs.back().count) == c &&
        runs.back().count < UINT32_MAX) {
        ++runs.back().count;
        return;
    }
    runs.push_back({c, 1});
}

std::optional<uint64_t> free_bytes(device_handle& device) {
    std::unique_ptr<volume> v;
    if (volume::open(device, &v) != 0) return std::nullopt;
    const int64_t clusters = v->free_clusters();
    if (clusters < 0) return std::nullopt;
    return uint64_t(clusters) * v->layout().cluster_size;
}

int volume::open(device_handle& device, std::unique_ptr<volume>* out) {
    uint8_t probe[boot::parsed_bytes];
    if (!device.read_exact(0, probe, sizeof probe) &&
        !device.read_exact(uint64_t(boot::region_sectors) * 512, probe, sizeof probe))
        return open_unreadable;
    auto g = read_boot_region(device);
    if (!g) return open_bad_boot;

    std::unique_ptr<volume> v(new volume(device, *g));
    const bool second = g->fat_count == 2 && (g->volume_flags & boot::flag_active_fat);
    v->active_fat_offset_ = g->fat_offset + (second ? g->fat_bytes : 0);
    const uint64_t blocks = (uint64_t(g->cluster_count) + 2 + fat_block_entries - 1) / fat_block_entries;
    v->fat_blocks_.resize(size_t(blocks));
    v->fat_block_failed_.assign(size_t(blocks), 0);

    // The root's first cluster must be readable; the rest of its chain is the walk's business.
    std::vector<extent> root = v->fat_chain(g->root_cluster, max_directory_bytes / g->cluster_size);
    std::vector<uint8_t> bytes;
    uint64_t unreadable = 0;
    v->read_extents(root, bytes, &unreadable);
    if (unreadable >= g->cluster_size && unreadable == bytes.size()) return open_bad_root;
    v->read_root_metadata(bytes);
    *out = std::move(v);
    return 0;
}

bool volume::load_fat_block(uint32_t block) {
    if (block >= fat_blocks_.size() || fat_block_failed_[block]) return false;
    if (!fat_blocks_[block].empty()) return true;
    const uint64_t first = uint64_t(block) * fat_block_entries;
    const uint64_t total = uint64_t(geometry_.cluster_count) + 2;
    const uint64_t count = std::min<uint64_t>(fat_block_entries, total - first);
    std::vector<uint8_t> raw(size_t(count) * 4);
    int64_t got = device_.read_at(active_fat_offset_ + first * 4, raw.data(), raw.size());
    if (got <= 0) {
        fat_block_failed_[block] = 1;
        return false;
    }
    if (size_t(got) < raw.size()) std::memset(raw.data() + got, 0, raw.size() - size_t(got));
    auto& entries = fat_blocks_[block];
    entries.resize(size_t(count));
    byte_view view(raw.data(), raw.size());
    for (size_t i = 0; i < entries.size(); ++i) entries[i] = view.le32(4 * i);
    return true;
}

uint32_t volume::fat_entry(uint32_t c) {
    if (!geometry_.valid_cluster(c)) return 0;
    const uint32_t block = c / fat_block_entries;
    if (!load_fat_block(block)) return 0;
    return fat_blocks_[block][c % fat_block_entries];
}

std::vector<extent> volume::fat_chain(uint32_t first, uint64_t max_clusters) {
    std::vector<extent> runs;
    uint32_t c = first;
    uint64_t taken = 0;
    // Brent's cycle check: the chain meeting the marked cluster again is a loop.
    uint32_t mark = first;
    uint64_t power = 1, steps = 0;
    bool looped = false;
    while (taken < max_clusters && geometry_.valid_cluster(c)) {
        append_cluster(runs, c);
        ++taken;
        const uint32_t next = fat_entry(c);
        if (next == mark) {
            looped = true;
            break;
        }
        if (++steps == power) {
            mark = next;
            power *= 2;
            steps = 0;
        }
        c = next;
    }
    if (!looped) return runs;
    // The check sees a loop only some steps after it closed: keep the chain
    // up to its first repeated cluster.
    std::unordered_set<uint32_t> met;
    std::vector<extent> clean;
    for (const extent& r : runs)
        for (uint32_t k = 0; k < r.count; ++k) {
            const uint32_t cl = r.cluster + k;
            if (!met.insert(cl).second) return clean;
            append_cluster(clean, cl);
        }
    return clean;
}

int64_t volume::free_clusters() const {
    if (bitmap_.empty()) return -1;
    uint64_t used = 0;
    const uint32_t n = geometry_.cluster_count;
    const size_t whole = n / 8;
    for (size_t i = 0; i < whole; ++i) used += size_t(std::popcount(bitmap_[i]));
    for (uint32_t i = uint32_t(whole) * 8; i < n; ++i) used += (bitmap_[i >> 3] >> (i & 7)) & 1;
    return int64_t(n - used);
}

void volume::read_extents(const std::vector<extent>& runs, std::vector<uint8_t>& out,
                          uint64_t* unreadable) {
    const uint64_t cs = geometry_.cluster_size;
    uint64_t total = 0;
    for (const extent& r : runs) total += r.count * cs;
    out.assign(size_t(total), 0);
    uint64_t pos = 0;
    for (const extent& r : runs) {
        uint64_t offset = geometry_.cluster_offset(r.cluster);
        const uint64_t bytes = r.count * cs;
        for (uint64_t done = 0; done < bytes && !gone_;) {
            const size_t piece = size_t(std::min<uint64_t>(read_piece, bytes - done));
            bad_ranges bad;
            size_t filled = 0;
            if (read_tolerant(device_, offset + done, out.data() + pos + done, piece, &filled, &bad) ==
                read_outcome::vanished) {
                gone_ = true;
                std::memset(out.data() + pos + done, 0, piece);
                break;
            }
            if (filled < piece) {
                // Past the device's end.
                std::memset(out.data() + pos + done + filled, 0, piece - filled);
                bad.add(offset + done + filled, piece - filled);
            }
            if (unreadable) *unreadable += bad.total();
            done += piece;
        }
        pos += bytes;
    }
}

void volume::read_root_metadata(const std::vector<uint8_t>& root) {
    byte_view dir(root.data(), root.size());
    const bool second_fat = geometry_.fat_count == 2 && (geometry_.volume_flags & boot::flag_active_fat);
    bool bitmap_done = false, upcase_done = false, label_done = false;
    for (size_t at = 0; dir.has(at, entry::size); at += entry::size) {
        const uint8_t type = dir.u8(at);
        if (type == entry::end_of_directory) break;
        if (type == entry::allocation_bitmap && !bitmap_done) {
            const bool for_second = dir.u8(at + entry::bitmap_flags) & 1;
            if (geometry_.fat_count == 2 && for_second != second_fat) continue;
            bitmap_done = load_bitmap(dir.le32(at + entry::first_cluster), dir.le64(at + entry::data_length));
        } else if (type == entry::upcase_table && !upcase_done) {
            load_upcase(dir.le32(at + entry::first_cluster), dir.le64(at + entry::data_length),
                        dir.le32(at + entry::upcase_checksum));
            upcase_done = true;
        } else if (type == entry::volume_label && !label_done) {
            const size_t n = std::min<size_t>(dir.u8(at + entry::label_length), label_units);
            char16_t units[label_units];
            for (size_t k = 0; k < n; ++k) units[k] = char16_t(dir.le16(at + entry::label_text + 2 * k));
            append_utf8(label_, units, n);
            label_done = true;
        }
    }
}

bool volume::load_bitmap(uint32_t first, uint64_t length) {
    const uint64_t needed = (uint64_t(geometry_.cluster_count) + 7) / 8;
    if (length < needed || !geometry_.valid_cluster(first)) return false;
    const uint64_t clusters = (needed + geometry_.cluster_size - 1) / geometry_.cluster_size;
    // The bitmap is written in one piece; follow its chain when it has one.
    std::vector<extent> runs = fat_chain(first, clusters);
    uint64_t got_clusters = 0;
    for (const extent& r : runs) got_clusters += r.count;
    if (got_clusters < clusters) {
        if (clusters > geometry_.cluster_count - (first - 2)) return false;
        runs = {{first, uint32_t(clusters)}};
    }
    std::vector<uint8_t> bytes;
    uint64_t unreadable = 0;
    read_extents(runs, bytes, &unreadable);
    if (unreadable > 0) return false;
    bytes.resize(size_t(needed));
    bitmap_ = std::move(bytes);
    return true;
}

void volume::load_upcase(uint32_t first, uint64_t length, uint32_t checksum) {
    if (length == 0 || length > max_upcase_bytes || !geometry_.valid_cluster(first)) return;
    const uint64_t clusters = (length + geometry_.cluster_size - 1) / geometry_.cluster_size;
    std::vector<extent> runs = fat_chain(first, clusters);
    std::vector<uint8_t> bytes;
    uint64_t unreadable = 0;
    read_extents(runs, bytes, &unreadable);
    if (bytes.size() < length) return;
    byte_view table(bytes.data(), size_t(length));
    upcase_ok_ = upcase_table::checksum(table) == checksum;
    if (upcase_ok_) upcase_.load(table);
}

}  // namespace qv::exfat
