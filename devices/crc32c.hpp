#pragma once
// CRC-32C (Castagnoli), the checksum of ext4, jbd2, btrfs and XFS metadata.

#include <cstddef>
#include <cstdint>

namespace qv {

// The register after feeding len bytes into `crc`, with no inversion at either
// end: ext4 and jbd2 seed it with ~0 (or a seed of their own) and store the
// result as it is.
uint32_t crc32c(uint32_t crc, const void* data, size_t len);

// The register after len zero bytes fed into `crc`, by multiplication (no bytes fed):
// crc32c(a, data, n) == crc32c_shift(a, n) ^ crc32c(0, data, n), so the sum of one
// buffer can be had for many starting registers from one pass over it.
uint32_t crc32c_shift(uint32_t crc, size_t len);
// The same for one length and many registers: the multiplier is worked out once.
class crc32c_shifter {
public:
    explicit crc32c_shifter(size_t len);
    uint32_t operator()(uint32_t crc) const;

private:
    uint32_t power_ = 0;
};
// The same by table look-ups (4 KiB of tables, made once): for a register shifted over one
// length again and again.
class crc32c_shift_table {
public:
    explicit crc32c_shift_table(size_t len);
    uint32_t operator()(uint32_t crc) const {
        return t_[0][crc & 0xFF] ^ t_[1][(crc >> 8) & 0xFF] ^ t_[2][(crc >> 16) & 0xFF] ^ t_[3][crc >> 24];
    }

private:
    uint32_t t_[4][256];
};

// The usual CRC-32C of a buffer (btrfs, XFS): inverted before and after.
inline uint32_t crc32c_of(const void* data, size_t len) { return ~crc32c(~0u, data, len); }

}  // namespace qv
