#include "fat/fat_deleted_name.hpp"

#include <array>
#include <cstring>

#include "fat/fat_reader.hpp"

namespace qv {

namespace {

using namespace fat;

constexpr char16_t name_end = 0x0000;
constexpr char16_t name_padding = 0xFFFF;

bool is_deleted_long_name_entry(byte_view e) {
    return e.size() == fat_entry_bytes && e.u8(0) == deleted_mark &&
           (e.u8(dir_attributes) & 0x3F) == attr_long_name && e.u8(lfn_type) == 0 &&
           e.le16(lfn_cluster) == 0;
}

// Characters that never stand in a long name.
bool forbidden_in_name(char16_t u) {
    return u < 0x20 || u == u'"' || u == u'*' || u == u'/' || u == u':' || u == u'<' || u == u'>' ||
           u == u'?' || u == u'\\' || u == u'|';
}

// Appends the run's units; false when the run does not hold a well-formed name.
bool assemble(byte_view before, size_t run, std::u16string& name) {
    for (size_t k = 1; k <= run; ++k) {
        byte_view e = before.sub(before.size() - k * fat_entry_bytes, fat_entry_bytes);
        bool ended = false;
        for (size_t off : lfn_unit_offsets) {
            char16_t u = e.le16(off);
            if (ended) {
                if (u != name_padding) return false;
            } else if (u == name_end) {
                ended = true;
            } else {
                name.push_back(u);
            }
        }
        if (ended) break;  // entries further back belong to another name
    }
    if (name.empty() || name.size() > max_name_units) return false;
    for (char16_t u : name)
        if (forbidden_in_name(u)) return false;
    return true;
}

uint8_t checksum_with_first(byte_view short_entry, uint8_t first) {
    std::array<uint8_t, short_name_bytes> name{};
    std::memcpy(name.data(), short_entry.data(), short_name_bytes);
    name[0] = first;
    return fat_short_name_checksum(name.data());
}

}  // namespace

bool legal_short_name_first_byte(uint8_t b) {
    if (b == kanji_lead_mark) return true;
    if (b <= 0x20 || b == deleted_mark || b == 0x7F) return false;
    if (b >= 'a' && b <= 'z') return false;
    return !std::strchr("\"*+,./:;<=>?[\\]|", b);
}

uint8_t short_name_first_byte(std::u16string_view long_name) {
    size_t i = 0;
    while (i < long_name.size() && (long_name[i] == u'.' || long_name[i] == u' ')) ++i;
    if (i == long_name.size()) return 0;
    char16_t c = fat_upper(long_name[i]);
    uint16_t code;
    if (c < 0x80) {
        code = c;
        if (std::strchr("+,;=[]", int(c))) code = '_';
    } else {
        code = unicode_to_cp936(c);
        if (code == 0) code = '_';
        if (code > 0xFF) code = code >> 8;
    }
    if (code == deleted_mark) code = kanji_lead_mark;
    return legal_short_name_first_byte(uint8_t(code)) ? uint8_t(code) : uint8_t('_');
}

std::optional<deleted_long_name> recover_deleted_long_name(byte_view entries_before, byte_view short_entry) {
    if (short_entry.size() != fat_entry_bytes || short_entry.u8(0) != deleted_mark) return std::nullopt;
    size_t available = entries_before.size() / fat_entry_bytes;
    byte_view before = entries_before.tail(entries_before.size() - available * fat_entry_bytes);
    size_t run = 0;
    uint8_t sum = 0;
    while (run < available && run < fat_max_long_name_entries) {
        byte_view e = before.sub(before.size() - (run + 1) * fat_entry_bytes, fat_entry_bytes);
        if (!is_deleted_long_name_entry(e)) break;
        if (run == 0)
            sum = e.u8(lfn_checksum);
        else if (e.u8(lfn_checksum) != sum)
            break;
        ++run;
    }
    if (run == 0) return std::nullopt;

    deleted_long_name out;
    if (!assemble(before, run, out.name)) return std::nullopt;

    uint8_t preferred = short_name_first_byte(out.name);
    if (preferred != 0 && checksum_with_first(short_entry, preferred) == sum) {
        out.first_byte = preferred;
        return out;
    }
    // An ASCII first letter gives its short-name byte without doubt; any other
    // letter went through a code page this volume does not tell.
    size_t lead = 0;
    while (lead < out.name.size() && (out.name[lead] == u'.' || out.name[lead] == u' ')) ++lead;
    if (lead == out.name.size() || out.name[lead] < 0x80) return std::nullopt;
    // The checksum is a one-to-one function of the first byte, so exactly one byte matches.
    for (unsigned b = 0; b < 256; ++b) {
        if (checksum_with_first(short_entry, uint8_t(b)) != sum) continue;
        if (!legal_short_name_first_byte(uint8_t(b))) return std::nullopt;
        out.first_byte = uint8_t(b);
        return out;
    }
    return std::nullopt;
}

}  // namespace qv
