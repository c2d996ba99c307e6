#pragma once
// An NTFS volume's $Bitmap (one bit per cluster, set = in use): free space,
// and whether a deleted file's clusters now belong to live data.

#include <cstdint>
#include <vector>

#include "devices/le_bytes.hpp"
#include "ntfsscan/runlist.hpp"

namespace qv::ntfs {

class volume;

class cluster_bitmap {
public:
    cluster_bitmap() = default;
    // From $Bitmap's bytes; clusters past the bytes given count as in use and
    // leave the map incomplete.
    static cluster_bitmap from_bytes(byte_view bytes, uint64_t cluster_count);
    // Reads record 6's unnamed data through vol; an unknown map when it cannot.
    static cluster_bitmap load(volume& vol);

    // False when nothing could be read.
    bool known() const { return cluster_count_ > 0 && !bits_.empty(); }
    bool complete() const { return complete_; }
    uint64_t cluster_count() const { return cluster_count_; }
    uint64_t free_clusters() const { return free_; }
    // Clusters outside the volume count as in use.
    bool in_use(uint64_t lcn) const {
        if (lcn >= cluster_count_ || lcn / 8 >= bits_.size()) return true;
        return (bits_[size_t(lcn / 8)] >> (lcn % 8)) & 1;
    }
    // True when any cluster of the runs (sparse runs have none) is in use.
    bool any_in_use(const std::vector<cluster_run>& runs) const;

private:
    std::vector<uint8_t> bits_;
    uint64_t cluster_count_ = 0;
    uint64_t free_ = 0;
    bool complete_ = false;
};

}  // namespace qv::ntfs
