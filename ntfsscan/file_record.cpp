#include "ntfsscan/file_record.hpp"

#include <algorithm>

#include "ntfsscan/ntfs_layout.hpp"

namespace qv::ntfs {

namespace {

constexpr int64_t filetime_ticks_per_second = 10000000;
constexpr int64_t filetime_to_unix_seconds = 11644473600;
// An attribute list longer than this is corrupt (real ones stay far below it).
constexpr uint64_t max_attribute_list_bytes = 256u << 10;
constexpr size_t max_extension_records = 4096;
constexpr size_t max_data_segments = 1u << 16;

uint8_t name_rank(uint8_t space) {
    switch (space) {
        case fn::space_win32:
        case fn::space_win32_and_dos: return 3;
        case fn::space_posix: return 2;
        default: return 1;  // DOS 8.3 names and anything unknown
    }
}

struct data_segment {
    uint64_t first_vcn = 0;
    uint64_t end_vcn = 0;
    bool ok = false;
    std::vector<cluster_run> runs;
};

// Collects what one file's attributes say, from its base record and then
// from its extension records.
class record_parser {
public:
    record_parser(uint64_t number, record_source& source, parse_depth depth, file_info& out)
        : number_(number), source_(source), depth_(depth), out_(out) {}

    // Walks one record's attributes; the base record also hands back its attribute list.
    void take_record(byte_view record, const record_header& header, bool base) {
        attribute_cursor cursor(record, header);
        attribute a;
        while (cursor.next(a)) {
            switch (a.type) {
                case type_standard_information: take_standard_information(a); break;
                case type_file_name: take_file_name(a); break;
                case type_data: take_data(a); break;
                case type_attribute_list:
                    if (base && !have_list_) {
                        list_ = a;
                        have_list_ = true;
                    }
                    break;
                default: break;
            }
        }
    }

    void follow_attribute_list() {
        if (!have_list_) return;
        std::vector<uint8_t> storage;
        byte_view list = attribute_list_bytes(storage);
        std::vector<uint64_t> wanted;
        size_t pos = 0;
        while (list.has(pos, al::min_size)) {
            uint16_t length = list.le16(pos + al::length);
            if (length < al::min_size || !list.has(pos, length)) break;
            uint32_t type = list.le32(pos + al::type);
            uint8_t entry_name_length = list.u8(pos + 6);
            uint64_t start_vcn = list.le64(pos + 8);
            uint64_t where = reference_record(list.le64(pos + al::reference));
            pos += length;
            if (where == number_ || !wanted_entry(type, entry_name_length, start_vcn)) continue;
            wanted.push_back(where);
        }
        std::sort(wanted.begin(), wanted.end());
        wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
        if (wanted.size() > max_extension_records) wanted.resize(max_extension_records);

        std::vector<uint8_t> buffer;
        for (uint64_t where : wanted) {
            if (!source_.load_record(where, buffer)) continue;
            byte_view ext(buffer.data(), buffer.size());
            record_header h;
            if (!read_record_header(ext, h) || h.base_record != number_) continue;
            take_record(ext, h, false);
        }
    }

    void finish() {
        if (!out_.has_times && have_name_times_) {
            out_.created = name_created_;
            out_.modified = name_modified_;
            out_.has_times = true;
        }
        data_stream& d = out_.data;
        if (d.present && !d.resident && !d.corrupt && depth_ == parse_depth::content) {
            std::sort(segments_.begin(), segments_.end(),
                      [](const data_segment& x, const data_segment& y) { return x.first_vcn < y.first_vcn; });
            uint64_t expected = 0;
            bool valid = !segments_.empty();
            for (auto& s : segments_) {
                if (!s.ok || s.first_vcn != expected) {
                    valid = false;
                    break;
                }
                d.runs.insert(d.runs.end(), s.runs.begin(), s.runs.end());
                expected = s.end_vcn;
            }
            d.runs_valid = valid;
            d.mapped_clusters = valid ? expected : 0;
            if (!valid) d.runs.clear();
        }
    }

private:
    bool wanted_entry(uint32_t type, uint8_t entry_name_length, uint64_t start_vcn) const {
        switch (type) {
            case type_standard_information: return !out_.has_times || !have_si_;
            case type_file_name: return out_.name_rank < 3;
            case type_data:
                if (entry_name_length != 0) return false;
                return depth_ == parse_depth::content || (start_vcn == 0 && !have_first_segment_);
            default: return false;
        }
    }

    // The list's bytes: resident in the record, or read from its clusters into storage.
    byte_view attribute_list_bytes(std::vector<uint8_t>& storage) {
        if (!list_.non_resident) return list_.resident_value();
        uint64_t size = list_.bytes.le64(attr::data_size);
        if (size == 0 || size > max_attribute_list_bytes) return {};
        std::vector<cluster_run> runs;
        uint64_t end_vcn = 0;
        if (!decode_runlist(list_.runlist(), 0, source_.cluster_count(), runs, &end_vcn)) return {};
        uint64_t cs = source_.cluster_size();
        if (end_vcn > (size + cs - 1) / cs + 1) return {};
        storage.assign(size_t(end_vcn * cs), 0);
        for (const auto& r : runs) {
            if (r.sparse) continue;
            if (!source_.read_clusters(r.lcn, r.length, storage.data() + r.vcn * cs)) return {};
        }
        if (storage.size() > size) storage.resize(size_t(size));
        return byte_view(storage.data(), storage.size());
    }

    void take_standard_information(const attribute& a) {
        if (have_si_) return;
        byte_view v = a.resident_value();
        if (!v.has(0, si::min_size)) return;
        have_si_ = true;
        out_.has_times = true;
        out_.created = filetime_to_unix(v.le64(si::created));
        out_.modified = filetime_to_unix(v.le64(si::modified));
        out_.file_attributes = v.le32(si::file_attributes);
    }

    void take_file_name(const attribute& a) {
        byte_view v = a.resident_value();
        size_t units = v.u8(fn::name_length);
        if (units == 0 || !v.has(fn::name, 2 * units)) return;
        uint8_t rank = name_rank(v.u8(fn::name_space));
        if (out_.has_name && rank <= out_.name_rank) return;
        out_.has_name = true;
        out_.name_rank = rank;
        out_.name_length = uint16_t(units);
        for (size_t i = 0; i < units; ++i) out_.name[i] = char16_t(v.le16(fn::name + 2 * i));
        out_.name[units] = 0;
        out_.parent = reference_record(v.le64(fn::parent));
        out_.parent_sequence = reference_sequence(v.le64(fn::parent));
        name_created_ = filetime_to_unix(v.le64(fn::created));
        name_modified_ = filetime_to_unix(v.le64(fn::modified));
        have_name_times_ = true;
    }

    void take_data(const attribute& a) {
        if (!a.unnamed()) return;  // alternate data streams are not the file's content
        data_stream& d = out_.data;
        if (!a.non_resident) {
            if (d.present) return;
            d.present = true;
            d.resident = true;
            take_stream_flags(a);
            uint32_t declared = a.bytes.le32(attr::value_length);
            byte_view v = a.resident_value();
            if (v.size() != declared) {
                d.corrupt = true;
                return;
            }
            d.size = d.initialized = v.size();
            if (depth_ == parse_depth::content) d.resident_bytes.assign(v.data(), v.data() + v.size());
            return;
        }
        if (d.present && d.resident) return;
        d.present = true;
        uint64_t lowest = a.bytes.le64(attr::lowest_vcn);
        if (lowest == 0 && !have_first_segment_) {
            have_first_segment_ = true;
            take_stream_flags(a);
            uint64_t size = a.bytes.le64(attr::data_size);
            uint64_t initialized = a.bytes.le64(attr::initialized_size);
            // Only holes or compression let a file grow past its volume.
            uint64_t volume_bytes = source_.cluster_count() * source_.cluster_size();
            bool may_exceed = a.flags & (attr::flag_sparse | attr::flag_compression_mask);
            if (size > max_file_size || (!may_exceed && size > volume_bytes)) {
                d.corrupt = true;
                size = std::min(size, volume_bytes);
            }
            d.size = size;
            d.initialized = std::min(initialized, size);
        }
        if (depth_ != parse_depth::content || segments_.size() >= max_data_segments) return;
        data_segment s;
        s.first_vcn = lowest;
        s.ok = decode_runlist(a.runlist(), lowest, source_.cluster_count(), s.runs, &s.end_vcn);
        segments_.push_back(std::move(s));
    }

    void take_stream_flags(const attribute& a) {
        out_.data.compressed = (a.flags & attr::flag_compression_mask) != 0;
        out_.data.encrypted = (a.flags & attr::flag_encrypted) != 0;
    }

    uint64_t number_;
    record_source& source_;
    parse_depth depth_;
    file_info& out_;
    attribute list_;
    bool have_list_ = false;
    bool have_si_ = false;
    bool have_first_segment_ = false;
    bool have_name_times_ = false;
    int64_t name_created_ = 0;
    int64_t name_modified_ = 0;
    std::vector<data_segment> segments_;
};

}  // namespace

int64_t filetime_to_unix(uint64_t filetime) {
    if (filetime == 0) return 0;
    return int64_t(filetime / filetime_ticks_per_second) - filetime_to_unix_seconds;
}

void parse_file_record(byte_view record, const record_header& header, uint64_t number,
                       record_source& source, parse_depth depth, bool follow_lists, file_info& out) {
    out.in_use = header.in_use();
    out.directory = header.directory();
    record_parser parser(number, source, depth, out);
    parser.take_record(record, header, true);
    if (follow_lists) parser.follow_attribute_list();
    parser.finish();
}

}  // namespace qv::ntfs
