#include "ntfsscan/ntfs_volume.hpp"

#include <algorithm>
#include <cstring>

#include "devices/tolerant_read.hpp"
#include "ntfsscan/ntfs_layout.hpp"

namespace qv::ntfs {

int volume::open(std::unique_ptr<device_handle> device, std::unique_ptr<volume>* out) {
    if (!device) return open_unreadable;
    std::unique_ptr<volume> v(new volume(std::move(device)));
    uint64_t length = v->device_->length();

    // The boot sector, else its copy in the volume's last sector.
    uint8_t sector[boot::size];
    std::optional<boot_geometry> g;
    bool read_any = false;
    if (v->device_->read_exact(0, sector, sizeof sector)) {
        read_any = true;
        g = parse_boot_sector(byte_view(sector, sizeof sector));
    }
    if (!g && length >= 2 * boot::size &&
        v->device_->read_exact(length - boot::size, sector, sizeof sector)) {
        read_any = true;
        g = parse_boot_sector(byte_view(sector, sizeof sector));
    }
    if (!g) return read_any ? open_bad_boot : length > 0 && !v->device_->medium_present() ? open_gone : open_unreadable;
    v->geometry_ = *g;

    // Record 0 describes the $MFT itself; the mirror holds a copy to fall back on.
    int result = open_bad_mft;
    for (uint64_t lcn : {g->mft_lcn, g->mftmirr_lcn}) {
        if (lcn >= g->cluster_count) continue;
        int r = v->load_mft_runs(lcn);
        if (r == 0) {
            *out = std::move(v);
            return 0;
        }
        if (r == open_gone) return r;
        if (r == open_bad_mft_runs) result = r;
    }
    return result;
}

int volume::load_mft_runs(uint64_t lcn) {
    std::vector<uint8_t> record;
    if (!read_mft_record_zero(lcn, record)) return device_->medium_present() ? open_bad_mft : open_gone;
    byte_view view(record.data(), record.size());
    record_header header;
    read_record_header(view, header);
    file_info info;
    parse_file_record(view, header, record_mft, *this, parse_depth::content, false, info);
    if (!set_mft_runs(info.data)) return open_bad_mft_runs;
    // A fragmented $MFT keeps the rest of its runs in extension records that
    // its first runs already reach.
    file_info full;
    parse_file_record(view, header, record_mft, *this, parse_depth::content, true, full);
    if (full.data.runs_valid && full.data.mapped_clusters > info.data.mapped_clusters)
        set_mft_runs(full.data);
    return 0;
}

bool volume::read_mft_record_zero(uint64_t lcn, std::vector<uint8_t>& buffer) {
    uint64_t offset = lcn * geometry_.cluster_size;
    buffer.assign(geometry_.record_size, 0);
    if (!device_->read_exact(offset, buffer.data(), buffer.size())) return false;
    if (!apply_fixups(buffer.data(), buffer.size())) return false;
    record_header h;
    return read_record_header(byte_view(buffer.data(), buffer.size()), h) && h.base_record == 0;
}

bool volume::set_mft_runs(const data_stream& data) {
    if (!data.present || data.resident || data.corrupt || !data.runs_valid || data.runs.empty())
        return false;
    // The MFT has no holes: a sparse run means the list is corrupt.
    for (const auto& r : data.runs)
        if (r.sparse) return false;
    uint64_t mapped = data.mapped_clusters * geometry_.cluster_size;
    uint64_t bytes = std::min({data.size, data.initialized, mapped});
    uint64_t count = bytes / geometry_.record_size;
    if (count == 0) return false;
    mft_runs_ = data.runs;
    record_count_ = count;
    return true;
}

bool volume::read_records(uint64_t first, size_t count, uint8_t* buffer, std::vector<unreadable_record>* unreadable) {
    const uint64_t cs = geometry_.cluster_size;
    const uint64_t rs = geometry_.record_size;
    std::memset(buffer, 0, count * rs);
    if (first >= record_count_) return true;
    count = size_t(std::min<uint64_t>(count, record_count_ - first));
    uint64_t pos = first * rs;
    const uint64_t end = pos + count * rs;
    // Runs are sorted by VCN and start at 0: find the one holding pos, then walk on.
    auto it = std::upper_bound(mft_runs_.begin(), mft_runs_.end(), pos / cs,
                               [](uint64_t vcn, const cluster_run& r) { return vcn < r.vcn; });
    if (it == mft_runs_.begin()) return true;
    --it;
    while (pos < end && it != mft_runs_.end()) {
        uint64_t run_start = it->vcn * cs;
        uint64_t run_end = run_start + it->length * cs;
        uint64_t piece = std::min(end, run_end) - pos;
        uint64_t device_offset = it->lcn * cs + (pos - run_start);
        uint8_t* out = buffer + (pos - first * rs);
        bad_ranges bad;
        size_t filled = 0;
        if (read_tolerant(*device_, device_offset, out, size_t(piece), &filled, &bad) == read_outcome::vanished) {
            std::memset(out, 0, size_t(piece));
            return false;
        }
        if (filled < piece) std::memset(out + filled, 0, size_t(piece - filled));
        if (unreadable && bad.total() > 0) {
            // Each record of the piece, with the bytes of it that could not be read.
            for (uint64_t number = pos / rs; number * rs < pos + piece; ++number) {
                const uint64_t from = std::max(number * rs, pos), to = std::min((number + 1) * rs, pos + piece);
                const uint64_t lost = bad.overlap(device_offset + (from - pos), to - from);
                if (lost == 0) continue;
                if (!unreadable->empty() && unreadable->back().number == number)
                    unreadable->back().bytes += lost;
                else
                    unreadable->push_back({number, lost});
            }
        }
        pos += piece;
        ++it;
    }
    return true;
}

bool volume::load_record(uint64_t number, std::vector<uint8_t>& buffer) {
    if (number >= record_count_) return false;
    buffer.resize(geometry_.record_size);
    read_records(number, 1, buffer.data());
    return apply_fixups(buffer.data(), buffer.size());
}

bool volume::read_clusters(uint64_t lcn, uint64_t count, uint8_t* out) {
    if (lcn >= geometry_.cluster_count || count > geometry_.cluster_count - lcn) return false;
    uint64_t bytes = count * geometry_.cluster_size;
    return device_->read_exact(lcn * geometry_.cluster_size, out, size_t(bytes));
}

}  // namespace qv::ntfs
