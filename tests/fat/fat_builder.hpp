#pragma once
// Builds FAT images byte by byte for the cases real tools will not make:
// exact cluster counts, colliding entries, loops, hostile fields.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qv::test {

class fat_builder {
public:
    // bits 12, 16 or 32; clusters is the exact data-cluster count.
    fat_builder(int bits, uint32_t clusters, uint8_t sectors_per_cluster = 1, uint16_t root_entries = 512);

    uint32_t cluster_bytes() const { return 512u * spc_; }
    uint32_t root_cluster() const { return 2; }  // FAT32 only
    // Marks a cluster's table entry; end_of_chain for the last.
    void set_fat(uint32_t cluster, uint32_t value);
    uint32_t end_of_chain() const;
    // Appends a 32-byte entry to a folder (0 = root); returns false when it is full.
    bool add_entry(uint32_t folder_cluster, const std::string& name11, uint8_t attributes, uint32_t cluster,
                   uint32_t size, bool deleted, uint16_t create_date = 0x5A21, uint16_t create_time = 0x5000);
    // Raw 32 bytes at entry index of a folder (for hostile fields).
    uint8_t* entry_at(uint32_t folder_cluster, uint32_t index);
    void write_cluster(uint32_t cluster, const std::vector<uint8_t>& bytes, size_t offset = 0);
    // Gives a folder more clusters (chained) so it holds more entries.
    void chain_folder(uint32_t first_cluster, uint32_t count);
    std::vector<uint8_t>& bytes() { return bytes_; }
    uint8_t* boot() { return bytes_.data(); }
    bool save(const std::string& path) const;

    uint32_t data_start() const { return data_start_; }
    uint32_t total_sectors() const { return total_; }

private:
    uint8_t* sector(uint64_t s) { return bytes_.data() + s * 512; }
    uint32_t entries_per_folder(uint32_t folder_cluster);
    // The clusters of a folder's chain, cached until the table changes.
    const std::vector<uint32_t>& chain_of(uint32_t first);
    int bits_;
    uint8_t spc_;
    uint16_t root_entries_;
    uint32_t clusters_, sectors_per_fat_, fat_start_ = 1, root_start_, data_start_, total_;
    std::vector<uint8_t> bytes_;
    std::vector<uint32_t> fat_;
    std::map<uint32_t, uint32_t> fill_;
    std::map<uint32_t, std::vector<uint32_t>> chains_;  // entries used per folder (by first cluster)
};

}  // namespace qv::test
