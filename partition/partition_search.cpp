#include "partition/partition_search.hpp"

#include <limits>
#include <vector>

#include "devices/device_handle.hpp"
#include "engine/fat_layout.hpp"
#include "partition/boot_sector_tests.hpp"

namespace qv::partition {
namespace {

constexpr size_t chunk_bytes = chunk_sectors * sector_bytes;  // 131072
constexpr size_t signature_offset = fat::bs_signature;
// Sectors fetched per read: many chunks at once, so a drive is read in few
// large sequential transfers.
constexpr uint64_t window_sectors = 2048;  // 1 MiB

constexpr int32_t ntfs_partition_type = 0x07;
constexpr int32_t fat32_partition_type = 0x0C;
constexpr int32_t exfat_partition_type = 0x07;  // the type byte exFAT shares with NTFS

uint64_t saturating_add(uint64_t a, uint64_t b) {
    return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max()
                                                        : a + b;
}

partition_item_s make_item(const boot_candidate& c, uint64_t start) {
    partition_item_s item;
    if (c.kind == boot_kind::ntfs) {
        item.fs_name = QStringLiteral("NTFS");
        item.partition_type = ntfs_partition_type;
    } else if (c.kind == boot_kind::exfat) {
        item.fs_name = QStringLiteral("exFAT");
        item.partition_type = exfat_partition_type;
    } else {
        item.fs_name = QStringLiteral("FAT32");
        item.partition_type = fat32_partition_type;
    }
    item.start_sector = start;
    item.end_sector = saturating_add(start, c.length - 1);  // length >= 1
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

    chunk_window window;
    uint64_t p = 0;
    while (p < end) {
        if (hooks.stop && hooks.stop()) return search_stopped;
        if (!window.load(dev, p)) break;

        const byte_view chunk = window.chunk(p);
        uint64_t next = p + candidates_per_chunk;
        for (uint64_t j = 0; j < candidates_per_chunk; ++j) {
            // Most sectors fail on their first signature byte; test that inline.
            if (chunk.data()[j * sector_bytes + signature_offset] != 0x55) continue;
            boot_candidate c = examine_boot_sector(chunk, size_t(j * sector_bytes));
            if (c.kind == boot_kind::none) continue;
            partition_item_s item = make_item(c, p + j);
            if (hooks.found) hooks.found(item);
            next = saturating_add(p + j, c.length);  // skip the body unread; length >= 1
            break;
        }
        p = next;
        if (p >= end) break;
        set_progress(double(p * sector_bytes) / double(size));
    }
    set_progress(1.0);
    return search_done;
}

}  // namespace qv::partition
