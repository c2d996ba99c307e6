#pragma once
// Builds NTFS and FAT32 boot sectors in memory for the partition tests.

#include <cstdint>
#include <string>
#include <vector>

#include "devices/le_bytes.hpp"

namespace qv::test {

inline constexpr uint64_t sector = 512;

// An NTFS boot sector at sector s stating total_sectors (the field at 0x28).
inline void put_ntfs_boot(std::vector<uint8_t>& drive, uint64_t s, uint64_t total_sectors) {
    uint8_t* p = drive.data() + s * sector;
    std::copy_n("\xEB\x52\x90NTFS    ", 11, p);
    put_le16(p + 11, 512);
    put_le64(p + 0x28, total_sectors);
    p[510] = 0x55;
    p[511] = 0xAA;
}

// A FAT32 boot sector at s with the FSInfo signature in the sector after it.
inline void put_fat32_boot(std::vector<uint8_t>& drive, uint64_t s, uint32_t total_sectors,
                           const std::string& oem = "MSWIN4.1", bool fsinfo_signature = true) {
    uint8_t* p = drive.data() + s * sector;
    p[0] = 0xEB;
    p[1] = 0x58;
    p[2] = 0x90;
    std::copy_n(oem.c_str(), std::min<size_t>(oem.size(), 8), p + 3);
    put_le16(p + 11, 512);
    put_le32(p + 0x20, total_sectors);
    std::copy_n("FAT32   ", 8, p + 0x52);
    p[510] = 0x55;
    p[511] = 0xAA;
    if (fsinfo_signature) {
        p[512 + 510] = 0x55;
        p[512 + 511] = 0xAA;
    }
}

}  // namespace qv::test
