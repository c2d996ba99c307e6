#pragma once
// CRC-32C (Castagnoli) as ext4 and jbd2 use it: no inversion before or after, the
// caller passes the running value (~0 to start, as the file system does).

#include <cstddef>
#include <cstdint>

namespace qv::ext4 {

uint32_t crc32c(uint32_t crc, const void* data, size_t len);

}  // namespace qv::ext4
