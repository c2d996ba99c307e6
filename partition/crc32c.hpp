#pragma once
// CRC-32C (Castagnoli), the checksum of ext4, btrfs and XFS metadata.

#include <cstddef>
#include <cstdint>

namespace qv::partition {

// The register after feeding len bytes into `crc`, with no inversion at
// either end: ext4 seeds it with ~0 and stores the result as it is; the
// usual CRC-32C of a buffer is ~crc32c_update(~0u, ...).
uint32_t crc32c_update(uint32_t crc, const uint8_t* data, size_t len);

inline uint32_t crc32c(const uint8_t* data, size_t len) { return ~crc32c_update(~0u, data, len); }

}  // namespace qv::partition
