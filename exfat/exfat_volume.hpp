#pragma once
// An opened exFAT volume: boot region, FAT, allocation bitmap, up-case table and label,
// with checked reads of clusters and cluster chains.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devices/device_handle.hpp"
#include "exfat/boot_region.hpp"
#include "exfat/upcase_table.hpp"

namespace qv::exfat {

// Results of volume::open.
enum open_error : int {
    open_unreadable = -1,  // the first sectors cannot be read
    open_bad_boot = -2,    // neither boot region describes an exFAT volume
    open_bad_root = -3,    // the root directory's first cluster cannot be read
};

// A run of consecutive clusters.
struct extent {
    uint32_t cluster = 0;
    uint32_t count = 0;
};

class volume {
public:
    // Opens the volume on device, which must outlive the volume. 0 and the
    // volume in *out, or an open_error. A missing or unreadable bitmap or
    // up-case table does not fail the open; bitmap_known() tells.
    static int open(device_handle& device, std::unique_ptr<volume>* out);

    const geometry& layout() const { return geometry_; }
    device_handle& device() { return device_; }
    const std::string& label() const { return label_; }
    const upcase_table& upcase() const { return upcase_; }
    bool upcase_checksum_ok() const { return upcase_ok_; }

    // The active FAT's entry for cluster c; 0 (free) when it cannot be read.
    uint32_t fat_entry(uint32_t c);
    // The chain from first, at most max_clusters long, as runs. It ends at an
    // end mark, a free or bad entry, a cluster out of range, or a cluster seen
    // before (a loop).
    std::vector<extent> fat_chain(uint32_t first, uint64_t max_clusters);

    bool bitmap_known() const { return !bitmap_.empty(); }
    // The allocation bitmap's bit for c; false for clusters out of range or
    // when the bitmap is unknown.
    bool in_use(uint32_t c) const {
        if (!geometry_.valid_cluster(c) || bitmap_.empty()) return false;
        const uint32_t i = c - 2;
        return (bitmap_[i >> 3] >> (i & 7)) & 1;
    }
    // Clusters the bitmap shows free; -1 when the bitmap is unknown.
    int64_t free_clusters() const;

    // Reads whole clusters of runs into out (resized); bytes that cannot be
    // read are zero and counted in *unreadable.
    void read_extents(const std::vector<extent>& runs, std::vector<uint8_t>& out, uint64_t* unreadable);

private:
    explicit volume(device_handle& device, const geometry& g) : device_(device), geometry_(g) {}
    bool load_fat_block(uint32_t block);
    void read_root_metadata(const std::vector<uint8_t>& root);
    bool load_bitmap(uint32_t first, uint64_t length);
    void load_upcase(uint32_t first, uint64_t length, uint32_t checksum);

    device_handle& device_;
    geometry geometry_;
    uint64_t active_fat_offset_ = 0;
    std::vector<std::vector<uint32_t>> fat_blocks_;  // loaded on first use
    std::vector<uint8_t> fat_block_failed_;
    std::vector<uint8_t> bitmap_;
    upcase_table upcase_;
    bool upcase_ok_ = false;
    std::string label_;
};

// Free bytes of the exFAT volume on device, from its allocation bitmap: free
// clusters times the cluster size. Nothing when the volume cannot be opened
// or its bitmap cannot be read (an unmounted volume's free space).
std::optional<uint64_t> free_bytes(device_handle& device);

// Appends cluster c to runs, extending the last run when c follows it.
void append_cluster(std::vector<extent>& runs, uint32_t c);

}  // namespace qv::exfat
