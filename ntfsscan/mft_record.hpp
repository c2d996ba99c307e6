#pragma once
// One MFT file record: update-sequence fixups, header fields and a checked walk over its attributes.

#include <cstddef>
#include <cstdint>

#include "devices/le_bytes.hpp"

namespace qv::ntfs {

// Checks the "FILE" signature and the update sequence of a record of size
// bytes and puts the saved words back in place. False (record unusable)
// when the signature, the array's place or any sector's check word is wrong.
bool apply_fixups(uint8_t* record, size_t size);

struct record_header {
    uint16_t sequence = 0;
    uint16_t flags = 0;
    uint64_t base_record = 0;  // 0 for a base record, else the base's record number
    uint32_t first_attribute = 0;
    uint32_t used_size = 0;    // bytes of the record holding attributes, at most the record size
    bool in_use() const;
    bool directory() const;
};

// Reads the header of a record that passed apply_fixups; false when the
// attribute area lies outside the record.
bool read_record_header(byte_view record, record_header& out);

// One attribute as found in a record. value is the whole attribute record.
struct attribute {
    uint32_t type = 0;
    bool non_resident = false;
    uint8_t name_length = 0;
    uint16_t flags = 0;
    byte_view bytes;

    bool unnamed() const { return name_length == 0; }
    // The value of a resident attribute; empty when its bounds are wrong or it is non-resident.
    byte_view resident_value() const;
    // The mapping pairs of a non-resident attribute (to the end of the attribute).
    byte_view runlist() const;
};

// Walks the attributes of a record from its header's first attribute up to
// the end marker. Stops at the first attribute whose length is too small
// or runs past the used part of the record, so hostile lengths cannot loop.
class attribute_cursor {
public:
    attribute_cursor(byte_view record, const record_header& header);
    bool next(attribute& out);

private:
    byte_view area_;
    size_t offset_;
};

}  // namespace qv::ntfs
