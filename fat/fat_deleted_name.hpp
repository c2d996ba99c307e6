#pragma once
// Gives a deleted FAT entry its long name back from the deleted long-name
// entries in front of it, only when the short name's checksum agrees.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "devices/le_bytes.hpp"
#include "fat/fat_layout.hpp"

namespace qv {

// A long name takes at most this many entries (20 x 13 units >= 255).
inline constexpr size_t fat_max_long_name_entries = fat::max_lfn_entries;
inline constexpr size_t fat_entry_bytes = fat::entry_bytes;

struct deleted_long_name {
    std::u16string name;     // the long name, 1 to 255 units
    uint8_t first_byte = 0;  // the short name's first byte that the checksum accepted
};

// entries_before: the directory entries just in front of the deleted short
// entry, in directory order (its last 32 bytes are the entry right before the
// short entry), at most fat_max_long_name_entries of them are looked at.
// short_entry: the deleted short entry's 32 bytes (first byte 0xE5).
// The run of deleted long-name entries right before the short entry gives the
// name: the nearest holds units 1-13, the next 14-26 and so on; the run ends at
// an entry that is not a deleted long-name entry, at a change of checksum, or
// after 20 entries. The name is accepted only when the checksum over the short
// name matches with the first byte the name gives under the short-name rules,
// or, for a name whose first letter is not ASCII (its code page is unknown),
// with some legal first byte. Nothing when no run or no match.
std::optional<deleted_long_name> recover_deleted_long_name(byte_view entries_before, byte_view short_entry);

// The first byte of the short name that a long name gives under the
// short-name rules (upper case, code page 936 for other letters, "_" for what
// cannot stand there, 0x05 for a 0xE5 lead byte); 0 when the name has no letter
// to give (empty or only dots and spaces).
uint8_t short_name_first_byte(std::u16string_view long_name);

// True when b may stand first in a short name on disk.
bool legal_short_name_first_byte(uint8_t b);

}  // namespace qv
