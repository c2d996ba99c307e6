#pragma once
// Where things lie in a ZIP: record signatures, fixed record sizes and field
// offsets of the local header, central directory entry and end records
// (little-endian, from the start of each record).

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "devices/le_bytes.hpp"

namespace qv::sig::zip {

constexpr uint32_t local_signature = 0x04034b50;       // "PK\3\4"
constexpr uint32_t central_signature = 0x02014b50;     // "PK\1\2"
constexpr uint32_t descriptor_signature = 0x08074b50;  // "PK\7\8", optional before a data descriptor
constexpr uint32_t end_signature = 0x06054b50;         // "PK\5\6"
constexpr uint32_t end64_signature = 0x06064b50;       // "PK\6\6"
constexpr uint32_t locator64_signature = 0x07064b50;   // "PK\6\7"

// Local file header, then the name, the extra field and the data.
constexpr size_t local_bytes = 30;
constexpr size_t local_version = 4, local_flags = 6, local_method = 8, local_crc = 14, local_compressed = 18,
                 local_uncompressed = 22, local_name_length = 26, local_extra_length = 28;

// Central directory entry, then the name, the extra field and the comment.
constexpr size_t central_bytes = 46;
constexpr size_t central_method = 10, central_crc = 16, central_compressed = 20, central_uncompressed = 24,
                 central_name_length = 28, central_extra_length = 30, central_comment_length = 32,
                 central_local_offset = 42;

// End of central directory record, then its comment.
constexpr size_t end_bytes = 22;
constexpr size_t end_entries = 10, end_central_size = 12, end_central_offset = 16, end_comment_length = 20;

// Zip64 end record: its signature, then the size of the rest of it.
constexpr size_t end64_head_bytes = 12, end64_rest_size = 4;
constexpr size_t locator64_bytes = 20;

constexpr uint16_t flag_descriptor = 0x08;  // sizes and CRC follow the data
constexpr uint16_t method_stored = 0, method_deflated = 8;
constexpr uint16_t zip64_extra_id = 0x0001;
constexpr uint32_t in_zip64 = 0xFFFFFFFFu;  // a 32-bit size or offset kept in the zip64 extra field
constexpr uint16_t entries_in_zip64 = 0xFFFF;

// Sizes from the zip64 extra field of a local header (extra_len bytes at
// extra, read through read(offset, uint8_t*, n) -> bool): the fields present
// are those whose 32-bit value was in_zip64.
template <class Read>
void zip64_extra_sizes(Read&& read, uint64_t extra, uint64_t extra_len, uint64_t* usize, uint64_t* csize) {
    constexpr size_t field_head = 4;  // id, length
    uint64_t p = extra;
    const uint64_t end = extra + extra_len;
    while (p + field_head <= end) {
        uint8_t h[field_head + 16];
        if (!read(p, h, field_head)) return;
        const uint16_t id = byte_view(h, field_head).le16(0), len = byte_view(h, field_head).le16(2);
        const size_t n = std::min<size_t>(len, 16);
        if (id == zip64_extra_id && len >= 8 && read(p + field_head, h + field_head, n)) {
            const byte_view v(h + field_head, n);
            size_t at = 0;
            if (*usize == in_zip64) {
                *usize = v.le64(at);
                at += 8;
            }
            if (*csize == in_zip64 && v.has(at, 8)) *csize = v.le64(at);
            return;
        }
        p += field_head + uint64_t(len);
    }
}

}  // namespace qv::sig::zip
