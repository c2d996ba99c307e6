#pragma once
// Reads and checks the exFAT boot region: the main one, else its backup, each with its checksum.

#include <cstdint>
#include <optional>

#include "devices/device_handle.hpp"
#include "devices/le_bytes.hpp"

namespace qv::exfat {

// The volume's layout in bytes from the volume's first byte, checked against
// itself and clamped to the device the volume was opened on.
struct geometry {
    uint32_t sector_size = 0;
    uint32_t cluster_size = 0;
    uint64_t volume_bytes = 0;   // as the boot sector states it
    uint64_t fat_offset = 0;
    uint64_t fat_bytes = 0;
    uint64_t heap_offset = 0;    // byte offset of cluster 2
    uint32_t cluster_count = 0;  // clusters of the heap, clamped to the device
    uint32_t root_cluster = 0;
    uint32_t serial = 0;
    uint16_t volume_flags = 0;
    uint8_t fat_count = 0;
    bool from_backup = false;    // the main boot region failed its checks

    // Byte offset of cluster c (2 <= c < cluster_count + 2).
    uint64_t cluster_offset(uint32_t c) const {
        return heap_offset + uint64_t(c - 2) * cluster_size;
    }
    bool valid_cluster(uint64_t c) const { return c >= 2 && c - 2 < cluster_count; }
    uint64_t heap_bytes() const { return uint64_t(cluster_count) * cluster_size; }
};

// Parses a main or backup boot sector (its first 512 bytes). Empty when a
// field is out of range: wrong name or jump, nonzero legacy area, sizes that
// are not powers of two, regions that overlap or lie outside the volume.
std::optional<geometry> parse_boot_sector(byte_view sector);

// The boot checksum over sectors 0-10 of a boot region (11 * sector_size
// bytes), leaving out the volume flags and the percent-in-use byte.
uint32_t boot_checksum(byte_view region, uint32_t sector_size);

// The main boot region when it parses and its checksum sector matches, else
// the backup region under the same test. Cluster count clamped to what the
// device holds. Empty when neither region is usable.
std::optional<geometry> read_boot_region(device_handle& device);

// True when the 512 bytes are an exFAT main boot sector by name, jump and
// signature; the volume length it states in 512-byte sectors goes to
// *sectors_512 (the lost-partition search).
bool looks_like_boot_sector(byte_view sector, uint64_t* sectors_512);

}  // namespace qv::exfat
