#include "ntfsscan/mft_record.hpp"

#include "ntfsscan/ntfs_layout.hpp"

namespace qv::ntfs {

bool apply_fixups(uint8_t* record, size_t size) {
    byte_view v(record, size);
    if (size < rec::fixup_stride || size % rec::fixup_stride != 0) return false;
    if (!v.equals(rec::signature, "FILE")) return false;
    size_t usa = v.le16(rec::usa_offset);
    size_t count = v.le16(rec::usa_count);
    size_t strides = size / rec::fixup_stride;
    // The array holds the check word and one saved word per stride, and must
    // end before the first stride's own check word.
    if (count != strides + 1 || usa % 2 != 0 || usa < rec::usa_count + 2) return false;
    if (usa + 2 * count > rec::fixup_stride - 2) return false;
    uint16_t check = v.le16(usa);
    for (size_t i = 0; i < strides; ++i) {
        size_t tail = (i + 1) * rec::fixup_stride - 2;
        if (v.le16(tail) != check) return false;
    }
    for (size_t i = 0; i < strides; ++i) {
        size_t tail = (i + 1) * rec::fixup_stride - 2;
        record[tail] = record[usa + 2 * (i + 1)];
        record[tail + 1] = record[usa + 2 * (i + 1) + 1];
    }
    return true;
}

bool record_header::in_use() const { return flags & rec::flag_in_use; }
bool record_header::directory() const { return flags & rec::flag_directory; }

bool read_record_header(byte_view record, record_header& out) {
    if (!record.has(0, rec::header_size)) return false;
    out.sequence = record.le16(rec::sequence);
    out.flags = record.le16(rec::flags);
    out.base_record = reference_record(record.le64(rec::base_reference));
    out.first_attribute = record.le16(rec::first_attribute);
    out.used_size = record.le32(rec::used_size);
    if (out.used_size > record.size()) out.used_size = uint32_t(record.size());
    return out.first_attribute >= rec::header_size && out.first_attribute < out.used_size;
}

byte_view attribute::resident_value() const {
    if (non_resident) return {};
    uint32_t len = bytes.le32(attr::value_length);
    uint16_t off = bytes.le16(attr::value_offset);
    if (off < attr::resident_header) return {};
    return bytes.sub(off, len);
}

byte_view attribute::runlist() const {
    if (!non_resident) return {};
    uint16_t off = bytes.le16(attr::runlist_offset);
    if (off < attr::non_resident_header) return {};
    return bytes.tail(off);
}

attribute_cursor::attribute_cursor(byte_view record, const record_header& header)
    : area_(record.sub(0, header.used_size)), offset_(header.first_attribute) {}

bool attribute_cursor::next(attribute& out) {
    if (!area_.has(offset_, 4)) return false;
    uint32_t type = area_.le32(offset_ + attr::type);
    if (type == attr::end_marker) return false;
    uint32_t length = area_.le32(offset_ + attr::length);
    if (length < attr::resident_header || length % 8 != 0 || !area_.has(offset_, length)) {
        offset_ = area_.size();  // a broken length ends the walk
        return false;
    }
    byte_view a = area_.sub(offset_, length);
    out.type = type;
    out.non_resident = a.u8(attr::non_resident) != 0;
    out.name_length = a.u8(attr::name_length);
    out.flags = a.le16(attr::flags);
    out.bytes = a;
    offset_ += length;
    if (out.non_resident && length < attr::non_resident_header) {
        offset_ = area_.size();
        return false;
    }
    return true;
}

}  // namespace qv::ntfs
