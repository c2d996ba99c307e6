// The MFT record parser: fixups, the attribute walk, $STANDARD_INFORMATION,
// $FILE_NAME, $DATA runlists and $ATTRIBUTE_LIST extension records.
// Input: one byte choosing the record size (512 << (b & 3)), then records;
// record 0 is the base, the others are what its attribute list may name, and
// all the bytes after the first one also serve as the volume's clusters.

#include <algorithm>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "fuzz/fuzz_targets.hpp"
#include "ntfsscan/file_record.hpp"
#include "ntfsscan/mft_record.hpp"
#include "ntfsscan/runlist.hpp"

namespace qv::fuzz {

namespace {

constexpr uint32_t fuzz_cluster_size = 512;

class memory_records final : public ntfs::record_source {
public:
    memory_records(const uint8_t* bytes, size_t size, size_t record_size)
        : bytes_(bytes), size_(size), record_size_(record_size) {}

    bool load_record(uint64_t number, std::vector<uint8_t>& buffer) override {
        if (number >= size_ / record_size_) return false;
        buffer.assign(bytes_ + number * record_size_, bytes_ + (number + 1) * record_size_);
        return ntfs::apply_fixups(buffer.data(), buffer.size());
    }
    bool read_clusters(uint64_t lcn, uint64_t count, uint8_t* out) override {
        uint64_t clusters = cluster_count();
        if (lcn >= clusters || count > clusters - lcn) return false;
        std::memcpy(out, bytes_ + lcn * fuzz_cluster_size, size_t(count * fuzz_cluster_size));
        return true;
    }
    uint32_t cluster_size() const override { return fuzz_cluster_size; }
    uint64_t cluster_count() const override { return size_ / fuzz_cluster_size; }

private:
    const uint8_t* bytes_;
    size_t size_;
    size_t record_size_;
};

void check_stream(const ntfs::data_stream& d, uint64_t cluster_count) {
    if (!d.runs_valid) {
        QV_FUZZ_CHECK(d.runs.empty());
        return;
    }
    uint64_t vcn = 0;
    for (const auto& r : d.runs) {
        QV_FUZZ_CHECK(r.vcn == vcn && r.length > 0);
        if (!r.sparse) QV_FUZZ_CHECK(r.lcn < cluster_count && r.length <= cluster_count - r.lcn);
        vcn += r.length;
    }
    QV_FUZZ_CHECK(vcn == d.mapped_clusters);
}

void parse_as(const uint8_t* record, size_t record_size, memory_records& source, ntfs::parse_depth depth,
              bool follow_lists) {
    byte_view view(record, record_size);
    ntfs::record_header header;
    if (!ntfs::read_record_header(view, header)) return;
    QV_FUZZ_CHECK(header.used_size <= record_size && header.first_attribute < header.used_size);
    ntfs::file_info info;
    ntfs::parse_file_record(view, header, 0, source, depth, follow_lists, info);
    QV_FUZZ_CHECK(info.name_length <= ntfs::max_name_units && info.name[info.name_length] == 0);
    QV_FUZZ_CHECK(info.data.initialized <= info.data.size || info.data.corrupt);
    if (depth == ntfs::parse_depth::content) {
        check_stream(info.data, source.cluster_count());
        if (info.data.resident && !info.data.corrupt) QV_FUZZ_CHECK(info.data.resident_bytes.size() == info.data.size);
    }
}

}  // namespace

int ntfs_record(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t record_size = size_t(512) << (data[0] & 3);
    const uint8_t* rest = data + 1;
    const size_t rest_size = size - 1;
    memory_records source(rest, rest_size, record_size);

    // The base record: fixed up when its update sequence holds, parsed either
    // way (the parser must stand any bytes, fixed up or not).
    std::vector<uint8_t> base(record_size, 0);
    std::memcpy(base.data(), rest, std::min(rest_size, record_size));
    std::vector<uint8_t> fixed = base;
    ntfs::apply_fixups(fixed.data(), fixed.size());
    for (const auto* record : {&fixed, &base}) {
        parse_as(record->data(), record_size, source, ntfs::parse_depth::summary, true);
        parse_as(record->data(), record_size, source, ntfs::parse_depth::content, true);
        parse_as(record->data(), record_size, source, ntfs::parse_depth::content, false);
    }

    // The mapping-pairs decoder alone over the same bytes.
    std::vector<ntfs::cluster_run> runs;
    uint64_t end_vcn = 0;
    if (ntfs::decode_runlist(byte_view(rest, rest_size), 0, source.cluster_count(), runs, &end_vcn)) {
        uint64_t vcn = 0;
        for (const auto& r : runs) vcn += r.length;
        QV_FUZZ_CHECK(vcn == end_vcn);
    }
    return 0;
}

}  // namespace qv::fuzz
