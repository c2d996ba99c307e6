#include "ntfsscan/runlist.hpp"

namespace qv::ntfs {

bool decode_runlist(byte_view pairs, uint64_t first_vcn, uint64_t cluster_count,
                    std::vector<cluster_run>& out, uint64_t* end_vcn) {
    uint64_t vcn = first_vcn;
    int64_t lcn = 0;
    size_t pos = 0;
    if (vcn > max_stream_clusters) return false;
    for (;;) {
        if (!pairs.has(pos, 1)) return false;  // the terminating zero byte is missing
        uint8_t head = pairs.u8(pos);
        if (head == 0) break;
        size_t length_size = head & 0x0F;
        size_t offset_size = head >> 4;
        if (length_size == 0 || length_size > 8 || offset_size > 8) return false;
        if (!pairs.has(pos + 1, length_size + offset_size)) return false;
        uint64_t length = pairs.le_n(pos + 1, length_size);
        if (length == 0 || length > max_stream_clusters - vcn) return false;

        cluster_run run;
        run.vcn = vcn;
        run.length = length;
        if (offset_size == 0) {
            run.sparse = true;
        } else {
            uint64_t raw = pairs.le_n(pos + 1 + length_size, offset_size);
            // Sign-extend the delta from its stored width.
            if (offset_size < 8 && (raw >> (8 * offset_size - 1)) & 1)
                raw |= ~uint64_t(0) << (8 * offset_size);
            auto delta = int64_t(raw);
            if ((delta > 0 && lcn > INT64_MAX - delta) || (delta < 0 && lcn < INT64_MIN - delta))
                return false;
            lcn += delta;
            if (lcn < 0 || uint64_t(lcn) >= cluster_count || length > cluster_count - uint64_t(lcn))
                return false;
            run.lcn = uint64_t(lcn);
        }
        if (out.size() >= max_stream_runs) return false;
        out.push_back(run);
        vcn += length;
        pos += 1 + length_size + offset_size;
    }
    if (end_vcn) *end_vcn = vcn;
    return true;
}

}  // namespace qv::ntfs
