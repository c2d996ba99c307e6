#pragma once
// Builds disk images with the real tools: sfdisk tables, mkfs.fat and mkntfs file systems.

#include <cstdint>
#include <string>

namespace qv::test {

// A sparse image file of the given size in MiB.
bool make_blank_image(const std::string& path, uint64_t mib);
// Writes a partition table with sfdisk from its script (see sfdisk(8)).
bool write_partition_table(const std::string& image, const std::string& script, std::string* output = nullptr);
// mkfs.fat -F bits over sectors [first, first + count) of the image.
bool format_fat_at(const std::string& image, uint64_t first_sector, uint64_t sectors, int bits,
                   const std::string& label, std::string* output = nullptr);
// mkntfs into a separate file, then copied into place (mkntfs cannot write at an offset).
bool format_ntfs_at(const std::string& image, uint64_t first_sector, uint64_t sectors,
                    const std::string& label, std::string* output = nullptr);

}  // namespace qv::test
