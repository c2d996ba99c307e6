#pragma once
// Directory entry sets (file, stream extension, file names): parsing, the set checksum and names.

#include <cstddef>
#include <cstdint>
#include <string>

#include "devices/le_bytes.hpp"
#include "exfat/boot_region.hpp"
#include "exfat/exfat_time.hpp"

namespace qv::exfat {

// One file's or folder's entry set, live or deleted.
struct entry_set {
    size_t first_entry = 0;     // index of the file entry in the directory's content
    size_t entries = 0;         // entries the set occupies (1 + the secondaries that belong to it)
    bool deleted = false;       // the in-use bits are clear
    bool checksum_ok = false;   // the set checksum matches (in-use bits restored for a deleted set)
    bool name_complete = false; // every name unit the stream entry announces was present
    uint16_t attributes = 0;    // file attribute bits
    uint8_t stream_flags = 0;
    uint8_t name_length = 0;    // UTF-16 units the stream entry announces
    uint32_t first_cluster = 0;
    uint64_t valid_length = 0;  // bytes written; the rest up to data_length reads as zeros
    uint64_t data_length = 0;   // bytes allocated to the file
    timestamp created, modified, accessed;
    std::string name;           // UTF-8; unpaired surrogates become U+FFFD

    bool directory() const;
    bool no_fat_chain() const;
    // The stream entry is sane for this volume: sizes ordered and inside the
    // heap, first cluster in range (0 only with no data), and a name length.
    bool stream_sane(const geometry& g) const;
    // Listed: the checksum matches, or the stream is sane (then it is doubtful).
    bool usable(const geometry& g) const { return checksum_ok || stream_sane(g); }
    bool doubtful() const { return !checksum_ok || !name_complete; }
    // Clusters the data length spans (0 for an empty file).
    uint64_t cluster_span(uint32_t cluster_size) const {
        return (data_length + cluster_size - 1) / cluster_size;
    }
};

// Parses the set whose file entry is entry `index` of dir (a directory's
// content, a whole number of 32-byte entries). False when no file entry,
// live (0x85) or deleted (0x05), with a stream entry after it starts there.
// Secondaries are taken while their type and in-use bit fit the primary.
bool parse_entry_set(byte_view dir, size_t index, entry_set& out);

// The 16-bit set checksum over `entries` whole entries starting at the file
// entry, leaving out its checksum field; with restore_in_use the in-use bit
// of every type byte is counted as set (a deleted set's sum as it was written).
uint16_t set_checksum(byte_view entries, bool restore_in_use);


}  // namespace qv::exfat
