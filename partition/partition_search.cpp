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

// Where partitions are made to start: MiB boundaries today, cylinder
// boundaries and the track after them on disks partitioned the old way.
constexpr uint64_t mib_sectors = 2048;
constexpr uint64_t cylinder_sectors = 255 * 63;
constexpr uint64_t track_sectors = 63;
// The sectors looked at around such a place P: the NTFS boot-sector copy that
// ends a partition before P, then P to P+7 (boot sectors, XFS, LUKS, the LVM
// label in P..P+3, ext and HFS+ superblocks at P+2, the swap signature at the
// end of P's first 4 KiB), ISO 9660's first descriptor at 32 KiB and btrfs's
// superblock at 64 KiB.
constexpr uint64_t near_before = 1;
constexpr uint64_t near_after = 8;
constexpr uint64_t far_sectors[] = {64, 128};

// The first sector at or past p that is offset plus a multiple of step (p < 2^63).
uint64_t round_up(uint64_t p, uint64_t step, uint64_t offset = 0) {
    if (p <= offset) return offset;
    return offset + (p - offset + step - 1) / step * step;
}

// The first likely partition start at or past p.
uint64_t next_place(uint64_t p) {
    return std::min({round_up(p, mib_sectors), round_up(p, cylinder_sectors),
                     round_up(p, cylinder_sectors, track_sectors)});
}

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
    const bool every = hooks.reach == search_reach::every_sector;
    // Below this sector every sector is examined; past it only the likely places.
    uint64_t sweep_until = every ? end : std::min(end, mib_sectors);

    // What the sector at `here` points to, checked against the drive: a boot
    // sector (boot sectors first: most sectors fail on their first signature
    // byte), then superblocks. from_here: the sector and those after it.
    auto examine = [&](byte_view from_here, uint64_t here) -> fs_found {
        const byte_view s = from_here.sub(0, sector_bytes);
        if (s.size() == 0) return {};
        hints.clear();
        if (s.u8(signature_offset) == 0x55 && s.u8(signature_offset + 1) == 0xAA) {
            const bool boot = examine_boot_sector(from_here, 0).kind != boot_kind::none;
            hints.push_back({boot ? fs_kind::ntfs : fs_kind::fat16, here, here});
        }
        hints_from_sector(s, here, &hints);
        for (const fs_hint& h : hints) {
            if (h.start < min_start) continue;
            const fs_found f = verify_hint(dev, h);
            if (f.kind != fs_kind::none && f.start >= min_start) return f;
        }
        return {};
    };
    // Takes a find made at `here`: the next sector to look at, or none when the
    // find is not taken and the walk goes on with the sector after `here`.
    auto take = [&](const fs_found& f, uint64_t here) -> std::optional<uint64_t> {
        partition_item_s item = make_item(f);
        if (open_ended && item.start_sector <= open_ended->start_sector) return std::nullopt;
        if (f.sectors == 0) {
            // Its end is known only once the next partition is found.
            close_open_ended(item.start_sector);
            open_ended = item;
            min_start = item.start_sector + 1;
            return here + 1;
        }
        report(item);
        min_start = saturating_add(item.end_sector, 1);
        // The next partition most often starts right after this one or at
        // the next MiB boundary: every sector up to that boundary is looked at.
        if (!every) sweep_until = min_start >= end ? end : std::min(end, round_up(min_start + 1, mib_sectors));
        return std::max(min_start, here + 1);  // skip the body unread
    };

    std::vector<uint8_t> near_bytes((near_before + near_after + 1) * sector_bytes);
    std::vector<uint8_t> far_bytes(2 * sector_bytes);
    // Reads `count` sectors at `first` (fewer at the drive's end); empty view when unreadable.
    auto read_sectors = [&](std::vector<uint8_t>& buf, uint64_t first, uint64_t count) -> byte_view {
        if (first >= end) return {};
        const uint64_t n = std::min(count, end - first);
        const int64_t got = dev.read_at(first * sector_bytes, buf.data(), size_t(n * sector_bytes));
        if (got < int64_t(sector_bytes)) return {};
        return byte_view(buf.data(), size_t(got) / sector_bytes * sector_bytes);
    };
    // Examines the sectors around a likely place p; the next sector to look at after a find.
    auto examine_place = [&](uint64_t p) -> std::optional<uint64_t> {
        const uint64_t first = p - std::min(p, near_before);
        const byte_view near = read_sectors(near_bytes, first, near_before + near_after + 1);
        for (uint64_t k = 0; k + 1 < near.size() / sector_bytes && first + k < p + near_after; ++k) {
            const fs_found f = examine(near.tail(size_t(k * sector_bytes)), first + k);
            if (f.kind == fs_kind::none) continue;
            if (auto next = take(f, p)) return next;
        }
        for (uint64_t at : far_sectors) {
            const byte_view far = read_sectors(far_bytes, saturating_add(p, at), 2);
            const fs_found f = examine(far, p + at);
            if (f.kind == fs_kind::none) continue;
            if (auto next = take(f, p)) return next;
        }
        return std::nullopt;
    };

    bool scattered = false;  // what the device was last told of the reads to come
    uint64_t p = 0;
    while (p < end) {
        if (hooks.stop && hooks.stop()) {
            if (scattered) dev.expect_scattered_reads(false);
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
        const uint64_t next_listed_first = next_listed < listed.size() ? listed[next_listed].first : end;

        if (p >= sweep_until) {
            if (!scattered) dev.expect_scattered_reads(scattered = true);
            const std::optional<uint64_t> after_find = examine_place(p);
            p = after_find ? *after_find : std::min(next_place(p + 1), next_listed_first);
            if (p >= end) break;
            set_progress(double(p * sector_bytes) / double(size));
            continue;
        }

        if (scattered) dev.expect_scattered_reads(scattered = false);
        uint64_t limit = std::min<uint64_t>(candidates_per_chunk, next_listed_first - p);
        limit = std::min(limit, sweep_until - p);
        if (!window.load(dev, p)) break;

        const byte_view chunk = window.chunk(p);
        uint64_t next = p + limit;
        for (uint64_t j = 0; j < limit; ++j) {
            const uint64_t here = p + j;
            const fs_found f = examine(chunk.tail(size_t(j * sector_bytes)), here);
            if (f.kind == fs_kind::none) continue;
            if (auto after_find = take(f, here)) {
                next = *after_find;
                break;
            }
        }
        p = next;
        if (p >= end) break;
        set_progress(double(p * sector_bytes) / double(size));
    }
    if (scattered) dev.expect_scattered_reads(false);
    finish();
    set_progress(1.0);
    return search_done;
}

}  // namespace qv::partition
