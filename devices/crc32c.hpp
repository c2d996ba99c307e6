#pragma once
// CRC-32C (Castagnoli), the checksum of ext4, jbd2, btrfs and XFS metadata.

#include <cstddef>
#include <cstdint>

namespace qv {

// The register after feeding len bytes into `crc`, with no inversion at either
// end: ext4 and jbd2 seed it with ~0 (or a seed of their own) and store the
// result as it is.
uint32_t crc32c(uint32_t crc, const void* data, size_t len);

// The usual CRC-32C of a buffer (btrfs, XFS): inverted before and after.
inline uint32_t crc32c_of(const void* data, size_t len) { return ~crc32c(~0u, data, len); }

}  // namespace qv
