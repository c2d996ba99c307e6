#pragma once
// Reads and checks the NTFS boot sector: sector, cluster and file-record sizes and where the MFT lies.

#include <cstdint>
#include <optional>

#include "devices/le_bytes.hpp"

namespace qv::ntfs {

struct boot_geometry {
    uint32_t bytes_per_sector = 0;
    uint32_t cluster_size = 0;   // bytes
    uint64_t cluster_count = 0;  // clusters of the volume, as the boot sector declares it
    uint64_t mft_lcn = 0;
    uint64_t mftmirr_lcn = 0;
    uint32_t record_size = 0;    // bytes per MFT record
};

// Parses a boot sector. Empty when a field is out of range (sizes not powers
// of two, MFT outside the volume).
std::optional<boot_geometry> parse_boot_sector(byte_view sector);

}  // namespace qv::ntfs
