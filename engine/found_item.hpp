#pragma once
// The one record every scan engine produces for a found file or folder.

#include <cstdint>
#include <string>
#include <vector>

namespace qv {

// How much of a found file's content can still be had.
enum class item_state : uint8_t {
    unknown,      // not judged
    intact,       // every byte read back from where the file lay
    assembled,    // put together from pieces found apart
    overwritten,  // part of its space holds other data now
    damaged,      // some bytes could not be read or fail their check
};

// Where one piece of a carved file lies on the volume.
struct item_piece {
    uint64_t offset = 0;
    uint64_t size = 0;
    bool operator==(const item_piece&) const = default;
};

struct found_item {
    uint64_t id = 0;            // what the engine recovers by; unique within one result
    uint64_t parent = 0;        // id of the folder holding it; 0 = the volume's root
    std::string name;           // UTF-8, as the engine shows it ("#"-first for FAT deleted entries)
    uint64_t size = 0;          // bytes
    int64_t modified = 0;       // seconds since 1970 UTC; 0 when unknown
    int64_t created = 0;        // seconds since 1970 UTC; 0 when unknown
    bool deleted = false;
    bool directory = false;
    uint32_t attributes = 0;    // the engine's raw attribute bits (FAT attributes, NTFS flags; 0 carved)
    item_state state = item_state::unknown;
    uint64_t unreadable_bytes = 0;
    std::string short_name;     // FAT: the "#"-first short name when a long name was recovered
    std::string type;           // carved files: the file type ("jpg"); empty otherwise
    uint64_t offset = 0;        // carved files: byte offset on the volume
    bool doubtful = false;      // a check of the entry failed (e.g. an exFAT set checksum)
    // Carved files put together from pieces found apart: each piece in file
    // order, the first at offset, their sizes adding up to size. Empty when
    // the file lies whole at offset.
    std::vector<item_piece> pieces;
};

}  // namespace qv
