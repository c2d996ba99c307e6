#include "fat/fat_folder_check.hpp"

#include "fat/fat_layout.hpp"

namespace qv {

namespace {

using namespace fat;

constexpr uint8_t reserved_attributes = 0xC0;

bool bad_name_byte(uint8_t b) {
    return b < 0x20 || b == '"' || b == '*' || b == '/' || b == ':' || b == '<' || b == '>' || b == '?' ||
           b == '\\' || b == '|' || b == 0x7F;
}

bool sane_long_name_entry(byte_view e) {
    uint8_t order = e.u8(0);
    if (order != fat::deleted_mark) {
        uint8_t n = order & uint8_t(~lfn_last);
        if (n == 0 || n > max_lfn_entries) return false;
    }
    return e.u8(lfn_type) == 0 && e.le16(fat::dir_cluster_low) == 0;
}

bool sane_short_entry(byte_view e, const fat_folder_limits& limits) {
    uint8_t attributes = e.u8(fat::dir_attributes);
    if (attributes & reserved_attributes) return false;
    if ((attributes & fat::attr_volume) && (attributes & fat::attr_directory)) return false;
    uint8_t first = e.u8(0);
    if (first == ' ') return false;
    if (first == '.') {
        // "." and "..": dots, then spaces.
        for (size_t i = 1; i < short_name_bytes; ++i) {
            uint8_t b = e.u8(i);
            if (b != ' ' && !(i == 1 && b == '.')) return false;
        }
    } else {
        for (size_t i = 0; i < short_name_bytes; ++i) {
            uint8_t b = e.u8(i);
            if (i == 0 && (b == fat::deleted_mark || b == kanji_lead_mark)) continue;
            if (bad_name_byte(b) || b == '.') return false;
        }
    }
    uint32_t cluster = e.le16(fat::dir_cluster_low);
    if (limits.fat32) cluster |= uint32_t(e.le16(fat::dir_cluster_high)) << 16;
    if (cluster == 1 || (cluster != 0 && cluster >= limits.entry_count)) return false;
    return e.le32(fat::dir_file_size) <= limits.volume_bytes;
}

}  // namespace

bool sane_folder_entry(byte_view e, const fat_folder_limits& limits) {
    if (e.size() != fat::entry_bytes) return false;
    if ((e.u8(fat::dir_attributes) & 0x3F) == fat::attr_long_name) return sane_long_name_entry(e);
    return sane_short_entry(e, limits);
}

folder_check check_folder_cluster(byte_view bytes, const fat_folder_limits& limits) {
    size_t count = bytes.size() / fat::entry_bytes;
    if (count == 0) return folder_check::not_entries;
    for (size_t i = 0; i < count; ++i) {
        byte_view e = bytes.sub(i * fat::entry_bytes, fat::entry_bytes);
        if (e.u8(0) == 0) return i == 0 ? folder_check::empty : folder_check::ends_here;
        if (!sane_folder_entry(e, limits)) return folder_check::not_entries;
    }
    return folder_check::entries;
}

}  // namespace qv
