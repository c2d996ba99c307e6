#pragma once
// The 440-byte boot loader the repair puts in front of the partition table,
// assembled from mbr_loader.s at build time.

#include <array>
#include <cstdint>

namespace qv::partition {

// Moves itself to 0x0600, finds the active entry, loads that partition's
// first sector to 0x7C00 (INT 13h extensions, else CHS) and jumps to it.
extern const std::array<uint8_t, 440> mbr_loader_code;

}  // namespace qv::partition
