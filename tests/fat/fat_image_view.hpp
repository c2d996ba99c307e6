#pragma once
// Reads the layout of a FAT image the tests made with mkfs.fat and mtools,
// apart from the program's reader: boot fields, the first FAT, clusters, live folders.

#include <cstdint>
#include <string>
#include <vector>

namespace qv::test {

class fat_image_view {
public:
    // False when the image cannot be read or its boot sector makes no sense.
    bool load(const std::string& path);

    int bits = 0;
    uint32_t cluster_bytes = 0;
    uint32_t entry_count = 0;  // data clusters + 2
    uint64_t volume_bytes = 0;

    // The first FAT's bytes.
    std::vector<uint8_t> table() const;
    uint32_t fat_entry(uint32_t cluster) const;
    std::vector<uint8_t> cluster(uint32_t cluster) const;
    // A live folder's entries along its chain (0 = the root).
    std::vector<uint8_t> folder(uint32_t first_cluster) const;
    // The byte offset of a cluster in the image.
    uint64_t cluster_offset(uint32_t cluster) const;
    // Entry index of the first entry whose 11-byte name matches (deleted first byte ignored); -1 if none.
    static long find_entry(const std::vector<uint8_t>& folder, const std::string& name11_from_second_byte);

    std::vector<uint8_t> bytes;

private:
    uint64_t fat_offset_ = 0, fat_bytes_ = 0, root_offset_ = 0, root_bytes_ = 0, data_offset_ = 0;
    uint32_t root_cluster_ = 0;
};

}  // namespace qv::test
