#pragma once
// The volume's up-case table: its checksum and its compressed form expanded to a full map.

#include <cstdint>
#include <vector>

#include "devices/le_bytes.hpp"

namespace qv::exfat {

class upcase_table {
public:
    // Expands the table's bytes (runs of identity mappings are stored as
    // 0xFFFF and a count). False when the bytes are not a table.
    bool load(byte_view bytes);
    bool loaded() const { return !map_.empty(); }
    // Upper case of a unit; the unit itself when no table is loaded or the
    // table does not reach it.
    char16_t upper(char16_t unit) const { return unit < map_.size() ? map_[unit] : unit; }

    // The table checksum (the boot checksum's rule over every byte).
    static uint32_t checksum(byte_view bytes);

private:
    std::vector<char16_t> map_;
};

}  // namespace qv::exfat
