#include "exfat/entry_set.hpp"

#include "devices/utf16_text.hpp"
#include "exfat/exfat_layout.hpp"

namespace qv::exfat {

namespace {

constexpr uint8_t type_mask = 0x7F;  // the type without its in-use bit

}  // namespace

bool entry_set::directory() const { return attributes & entry::attribute_directory; }

bool entry_set::no_fat_chain() const { return stream_flags & entry::flag_no_fat_chain; }

bool entry_set::stream_sane(const geometry& g) const {
    if (name_length == 0) return false;
    if (valid_length > data_length || data_length > g.heap_bytes()) return false;
    if (data_length == 0) return first_cluster == 0 || g.valid_cluster(first_cluster);
    if (!g.valid_cluster(first_cluster)) return false;
    if (no_fat_chain()) {
        const uint64_t last = uint64_t(first_cluster) - 2 + cluster_span(g.cluster_size);
        if (last > g.cluster_count) return false;
    }
    return true;
}

uint16_t set_checksum(byte_view entries, bool restore_in_use) {
    uint16_t sum = 0;
    const uint8_t* p = entries.data();
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i == entry::set_checksum || i == entry::set_checksum + 1) continue;
        uint8_t b = p[i];
        if (restore_in_use && i % entry::size == entry::type) b |= entry::in_use;
        sum = uint16_t(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + b);
    }
    return sum;
}

bool parse_entry_set(byte_view dir, size_t index, entry_set& out) {
    const size_t total = dir.size() / entry::size;
    if (index >= total || total - index < 2) return false;
    const size_t at = index * entry::size;
    const uint8_t primary_type = dir.u8(at);
    if ((primary_type & type_mask) != (entry::file & type_mask)) return false;
    const bool deleted = !(primary_type & entry::in_use);
    const uint8_t want_use = deleted ? 0 : entry::in_use;
    const size_t stream_at = at + entry::size;
    if (dir.u8(stream_at) != ((entry::stream & type_mask) | want_use)) return false;

    const uint8_t secondaries = dir.u8(at + entry::secondary_count);
    if (secondaries < 2) return false;

    out = entry_set{};
    out.first_entry = index;
    out.deleted = deleted;
    out.attributes = dir.le16(at + entry::attributes);
    out.created = decode_time(dir.le32(at + entry::created), dir.u8(at + entry::created_10ms),
                              dir.u8(at + entry::created_utc));
    out.modified = decode_time(dir.le32(at + entry::modified), dir.u8(at + entry::modified_10ms),
                               dir.u8(at + entry::modified_utc));
    out.accessed = decode_time(dir.le32(at + entry::accessed), 0, dir.u8(at + entry::accessed_utc));

    out.stream_flags = dir.u8(stream_at + entry::stream_flags);
    out.name_length = dir.u8(stream_at + entry::name_length);
    const size_t name_length = out.name_length;
    out.valid_length = dir.le64(stream_at + entry::valid_data_length);
    out.first_cluster = dir.le32(stream_at + entry::first_cluster);
    out.data_length = dir.le64(stream_at + entry::data_length);

    // Secondaries that belong: secondary category, same in-use state; the
    // name entries come first, in order.
    size_t taken = 2;
    const size_t available = total - index;
    char16_t units[entry::max_name_units];
    size_t name_units = 0;
    while (taken < size_t(secondaries) + 1 && taken < available) {
        const uint8_t t = dir.u8(at + taken * entry::size);
        if ((t & entry::in_use) != want_use || !(t & 0x40)) break;  // not a secondary of this set
        if ((t & type_mask) == (entry::file_name & type_mask) && name_units < name_length) {
            const size_t text = at + taken * entry::size + entry::name_text;
            for (size_t k = 0; k < entry::name_units && name_units < name_length; ++k)
                units[name_units++] = char16_t(dir.le16(text + 2 * k));
        }
        ++taken;
    }
    out.entries = taken;
    out.name_complete = name_length > 0 && name_units == name_length;
    // A NUL unit ends a damaged name.
    size_t used = 0;
    while (used < name_units && units[used] != 0) ++used;
    if (used < name_units) out.name_complete = false;
    append_utf8(out.name, units, used);

    if (taken == size_t(secondaries) + 1) {
        const uint16_t stored = dir.le16(at + entry::set_checksum);
        out.checksum_ok = set_checksum(dir.sub(at, taken * entry::size), deleted) == stored;
    }
    return true;
}

}  // namespace qv::exfat
