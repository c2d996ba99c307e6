#include "partition/partition_search.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

#include "devices/device_handle.hpp"
#include "fat/fat_layout.hpp"
#include "partition/boot_sector_tests.hpp"
#include "partition/disk_table.hpp"
#include "partition/fs_probe.hpp"

namespace qv::partition {
namespace {

constexpr size_t chunk_bytes = chunk_sectors * sector_bytes;  // 131072
constexpr size_t signature_offset = fat::bs_signature;
// Sectors fetched per read: many chunks at once, so a drive is read in few
// large sequential transfers.
constexpr uint64_t window_sectors = 2048;  // 1 MiB

uint64_t saturating_add(uint64_t a, uint64_t b) {
    return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max()
                                                        : a + b;
}

partition_item_s make_item(const fs_found& f) {
    partition_item_s item;
    item.fs_name = fs_kind_name(f.kind);
    item.partition_type = fs_mbr_type(f.kind, f.sectors);
    item.start_sector = f.start;
    item.end_sector = f.sectors ? saturating_add(f.start, f.sectors - 1) : f.start;
    item.label = f.label;
    return item;
}

partition_item_s make_listed_item(device_handle& dev, const listed_partition& p) {
    const fs_found f = probe_file_system(dev, p.first);
    partition_item_s item = make_item(f);
    if (p.mbr_type != 0) item.partition_type = p.mbr_type;
    item.start_sector = p.first;
    item.end_sector = p.last;
    item.listed = true;
    return item;
}

// Holds the chunks read so far: sectors [first, first + count) of the drive.
class chunk_window {
public:
    chunk_window() : bytes_(window_sectors * sector_bytes) {}

    // Makes sure sectors [p, p + 256) are held; false when that chunk cannot
    // be read in full, which ends the search.
    bool load(device_handle& dev, uint64_t p) {
        if (p >= first_ && p - first_ <= count_ && count_ - (p - first_) >= chunk_sectors)
            return true;
        uint64_t offset = p * sector_bytes;  // p < drive sectors, so this cannot overflow
        int64_t n = dev.read_at(offset, bytes_.data(), bytes_.size());
        // An error somewhere in the window need not lie in this chunk: ask
        // for the chunk alone, as a chunk-sized read would have.
        if (n < 0) n = dev.read_at(offset, bytes_.data(), chunk_bytes);
        if (n < int64_t(chunk_bytes)) {
            count_ = 0;
            return false;
        }
        first_ = p;
        count_ = uint64_t(n) / sector_bytes;
        return true;
    }

    byte_view chunk(uint64_t p) const {
        return byte_view(bytes_.data() + (p - first_) * sector_bytes, chunk_bytes);
    }

private:
    std::vector<uint8_t> bytes_;
    uint64_t first_ = 0;
    uint64_t count_ = 0;
};

}  // namespace

search_result search_device(device_handle& dev, const search_hooks& hooks) {
    const uint64_t size = dev.length();
    // First sector number whose byte offset is not below the drive's size.
    const uint64_t end = size / sector_bytes + (size % sector_bytes != 0);
    auto set_progress = [&](double v) {
        if (hooks.progress) hooks.progress->store(v, std::memory_order_relaxed);
    };

    const disk_table table = read_disk_table(dev);
    if (hooks.table) hooks.table(table);
    const std::vector<listed_partition>& listed = table.partitions;
    size_t next_listed = 0;
    // A file system that does not state its size (LUKS) ends where the next
    // partition begins, or where a GPT's backup area would begin.
    const bool gpt_traces = table.protective_mbr || table.primary.state != gpt_copy_state::missing ||
                            table.backup.state != gpt_copy_state::missing;
    const uint64_t last_usable = end > 34 && gpt_traces ? end - 34 : (end ? end - 1 : 0);
    std::optional<partition_item_s> open_ended;
    uint64_t min_start = 0;  // a find must begin past every partition reported before it

    auto close_open_ended = [&](uint64_t next_start) {
        if (!open_ended) return;
        open_ended->end_sector = std::max(open_ended->start_sector, next_start - 1);
        if (hooks.found) hooks.found(*open_ended);
        open_ended.reset();
    };
    auto report = [&](const partition_item_s& item) {
        close_open_ended(item.start_sector);
        if (hooks.found) hooks.found(item);
    };
    auto finish = [&] {
        for (; next_listed < listed.size(); ++next_listed) report(make_listed_item(dev, listed[next_listed]));
        close_open_ended(saturating_add(last_usable, 1));
    };

    chunk_window window;
    std::vector<fs_hint> hints;
    uint64_t p = 0;
    while (p < end) {
        if (hooks.stop && hooks.stop()) {
            finish();
            return search_stopped;
        }
        // Partitions the table lists are reported as present and not searched inside.
        bool moved = false;
        while (next_listed < listed.size() && listed[next_listed].first <= p) {
            const listed_partition& lp = listed[next_listed++];
            report(make_listed_item(dev, lp));
            min_start = std::max(min_start, saturating_add(lp.last, 1));
            p = std::max(p, min_start);
            moved = true;
        }
        if (moved) continue;
        uint64_t limit = candidates_per_chunk;
        if (next_listed < listed.size()) limit = std::min(limit, listed[next_listed].first - p);
        if (!window.load(dev, p)) break;

        const byte_view chunk = window.chunk(p);
        uint64_t next = p + limit;
        for (uint64_t j = 0; j < limit; ++j) {
            const uint64_t here = p + j;
            const byte_view s = chunk.sub(size_t(j * sector_bytes), sector_bytes);
            hints.clear();
            // Boot sectors first (most sectors fail on their first signature byte), then superblocks.
            if (s.u8(signature_offset) == 0x55 && s.u8(signature_offset + 1) == 0xAA) {
                const bool boot = examine_boot_sector(chunk, size_t(j * sector_bytes)).kind != boot_kind::none;
                hints.push_back({boot ? fs_kind::ntfs : fs_kind::fat16, here, here});
            }
            hints_from_sector(s, here, &hints);
            fs_found f;
            for (const fs_hint& h : hints) {
                if (h.start < min_start) continue;
                f = verify_hint(dev, h);
                if (f.kind != fs_kind::none && f.start >= min_start) break;
                f = {};
            }
            if (f.kind == fs_kind::none) continue;
            partition_item_s item = make_item(f);
            if (open_ended && item.start_sector <= open_ended->start_sector) continue;
            if (f.sectors == 0) {
                // Its end is known only once the next partition is found.
                close_open_ended(item.start_sector);
                open_ended = item;
                min_start = item.start_sector + 1;
                next = here + 1;
            } else {
                report(item);
                min_start = saturating_add(item.end_sector, 1);
                next = std::max(min_start, here + 1);  // skip the body unread
            }
            break;
        }
        p = next;
        if (p >= end) break;
        set_progress(double(p * sector_bytes) / double(size));
    }
    finish();
    set_progress(1.0);
    return search_done;
}

}  // namespace qv::partition
