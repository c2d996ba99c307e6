#include "ntfsscan/cluster_bitmap.hpp"

#include <algorithm>
#include <bit>

#include "ntfsscan/mft_record.hpp"
#include "ntfsscan/ntfs_volume.hpp"

namespace qv::ntfs {

namespace {

constexpr uint64_t record_bitmap = 6;

}  // namespace

cluster_bitmap cluster_bitmap::from_bytes(byte_view bytes, uint64_t cluster_count) {
    cluster_bitmap m;
    m.cluster_count_ = cluster_count;
    uint64_t need = (cluster_count + 7) / 8;
    m.complete_ = bytes.size() >= need;
    m.bits_.assign(size_t(need), 0xFF);
    size_t have = size_t(std::min<uint64_t>(need, bytes.size()));
    if (have) std::copy_n(bytes.data(), have, m.bits_.begin());
    // Bits past the last cluster are no clusters at all: mark them used.
    if (cluster_count % 8 != 0 && !m.bits_.empty()) m.bits_.back() |= uint8_t(0xFF << (cluster_count % 8));
    uint64_t used = 0;
    for (uint8_t b : m.bits_) used += uint64_t(std::popcount(b));
    m.free_ = need * 8 - used;
    return m;
}

cluster_bitmap cluster_bitmap::load(volume& vol) {
    std::vector<uint8_t> record;
    if (!vol.load_record(record_bitmap, record)) return {};
    byte_view view(record.data(), record.size());
    record_header header;
    if (!read_record_header(view, header) || header.base_record != 0) return {};
    file_info info;
    parse_file_record(view, header, record_bitmap, vol, parse_depth::content, true, info);
    const data_stream& d = info.data;
    const uint64_t clusters = vol.cluster_count();
    const uint64_t need = (clusters + 7) / 8;
    if (!d.present || d.corrupt || d.compressed || d.encrypted || clusters == 0) return {};
    std::vector<uint8_t> bytes;
    if (d.resident) {
        bytes = d.resident_bytes;
    } else {
        if (!d.runs_valid) return {};
        const uint64_t cs = vol.cluster_size();
        uint64_t want = std::min(need, d.initialized);
        bytes.assign(size_t(want), 0);
        std::vector<uint8_t> block;
        for (const auto& run : d.runs) {
            uint64_t start = run.vcn * cs;
            if (start >= want) break;
            uint64_t len = std::min(run.length * cs, want - start);
            if (run.sparse) continue;
            uint64_t whole = (len + cs - 1) / cs;
            block.resize(size_t(whole * cs));
            if (!vol.read_clusters(run.lcn, whole, block.data())) {
                bytes.resize(size_t(start));  // what was read before the failure
                break;
            }
            std::copy_n(block.data(), size_t(len), bytes.begin() + long(start));
        }
    }
    return from_bytes(byte_view(bytes.data(), bytes.size()), clusters);
}

bool cluster_bitmap::any_in_use(const std::vector<cluster_run>& runs) const {
    for (const auto& run : runs) {
        if (run.sparse) continue;
        if (run.lcn >= cluster_count_ || run.length > cluster_count_ - run.lcn) return true;
        uint64_t lcn = run.lcn, end = run.lcn + run.length;
        while (lcn < end && lcn % 8 != 0)
            if (in_use(lcn++)) return true;
        for (; lcn + 8 <= end; lcn += 8)
            if (bits_[size_t(lcn / 8)] != 0) return true;
        while (lcn < end)
            if (in_use(lcn++)) return true;
    }
    return false;
}

}  // namespace qv::ntfs
