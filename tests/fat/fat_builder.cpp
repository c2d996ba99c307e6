#include "tests/fat/fat_builder.hpp"

#include <cstring>
#include <fstream>

#include "devices/le_bytes.hpp"
#include "fat/fat_layout.hpp"
#include "fat/fat_table.hpp"

namespace qv::test {

fat_builder::fat_builder(int bits, uint32_t clusters, uint8_t spc, uint16_t root_entries)
    : bits_(bits), spc_(spc), root_entries_(bits == 32 ? 0 : root_entries), clusters_(clusters) {
    uint64_t entries = uint64_t(clusters) + 2;
    uint64_t fat_bytes = bits == 12 ? entries * 3 / 2 + (entries & 1) : entries * uint64_t(bits / 8);
    sectors_per_fat_ = uint32_t((fat_bytes + 511) / 512);
    root_start_ = fat_start_ + sectors_per_fat_;
    data_start_ = root_start_ + root_entries_ / 16;
    total_ = data_start_ + clusters * spc;
    bytes_.assign(size_t(total_) * 512, 0);
    fat_.assign(entries, 0);
    uint8_t* b = boot();
    b[0] = 0xEB;
    b[1] = 0x58;
    b[2] = 0x90;
    std::memcpy(b + fat::bpb_oem_name, "QVTEST  ", 8);
    put_le16(b + fat::bpb_bytes_per_sector, 512);
    b[fat::bpb_sectors_per_cluster] = spc;
    put_le16(b + fat::bpb_reserved_sectors, uint16_t(fat_start_));
    b[fat::bpb_fat_count] = 1;
    put_le16(b + fat::bpb_root_entries, root_entries_);
    if (total_ < 0x10000 && bits != 32)
        put_le16(b + fat::bpb_total_sectors16, uint16_t(total_));
    else
        put_le32(b + fat::bpb_total_sectors32, total_);
    b[fat::bpb_media] = 0xF8;
    if (bits == 32) {
        put_le32(b + fat::bpb_sectors_per_fat32, sectors_per_fat_);
        put_le32(b + fat::bpb_root_cluster32, root_cluster());
        std::memcpy(b + fat::bs_fs_type32, "FAT32   ", 8);
    } else {
        put_le16(b + fat::bpb_sectors_per_fat16, uint16_t(sectors_per_fat_));
        std::memcpy(b + fat::bs_fs_type16, bits == 12 ? "FAT12   " : "FAT16   ", 8);
    }
    put_le16(b + fat::bs_signature, fat::boot_signature);
    set_fat(0, 0x0FFFFFF8);
    set_fat(1, 0x0FFFFFFF);
    if (bits == 32) set_fat(root_cluster(), end_of_chain());
}

uint32_t fat_builder::end_of_chain() const {
    return bits_ == 12 ? 0xFFF : bits_ == 16 ? 0xFFFF : 0x0FFFFFFF;
}

void fat_builder::set_fat(uint32_t c, uint32_t value) {
    if (c >= fat_.size()) return;
    fat_[c] = value;
    chains_.clear();
    uint8_t* fat = sector(fat_start_);
    if (bits_ == 12) {
        qv::fat::put_fat12_entry(fat, c, value);
    } else if (bits_ == 16) {
        put_le16(fat + c * 2, uint16_t(value));
    } else {
        put_le32(fat + c * 4, value);
    }
}

const std::vector<uint32_t>& fat_builder::chain_of(uint32_t first) {
    auto it = chains_.find(first);
    if (it != chains_.end()) return it->second;
    std::vector<uint32_t> chain{first};
    uint32_t c = first;
    while (c < fat_.size() && fat_[c] >= 2 && fat_[c] < fat_.size() && chain.size() < fat_.size()) {
        c = fat_[c];
        chain.push_back(c);
    }
    return chains_[first] = std::move(chain);
}

uint32_t fat_builder::entries_per_folder(uint32_t folder) {
    if (folder == 0 && bits_ != 32) return root_entries_;
    return uint32_t(chain_of(folder == 0 ? root_cluster() : folder).size()) * cluster_bytes() / 32;
}

uint8_t* fat_builder::entry_at(uint32_t folder, uint32_t index) {
    if (folder == 0 && bits_ != 32) return sector(root_start_) + size_t(index) * 32;
    const auto& chain = chain_of(folder == 0 ? root_cluster() : folder);
    uint32_t per_cluster = cluster_bytes() / 32;
    uint32_t c = chain[std::min<size_t>(index / per_cluster, chain.size() - 1)];
    return sector(data_start_ + uint64_t(c - 2) * spc_) + size_t(index % per_cluster) * 32;
}

bool fat_builder::add_entry(uint32_t folder, const std::string& name11, uint8_t attributes, uint32_t cluster,
                            uint32_t size, bool deleted, uint16_t create_date, uint16_t create_time) {
    uint32_t& used = fill_[folder];
    if (used >= entries_per_folder(folder)) return false;
    uint8_t* e = entry_at(folder, used++);
    std::memset(e, ' ', 11);
    std::memcpy(e, name11.data(), std::min<size_t>(11, name11.size()));
    if (deleted) e[0] = 0xE5;
    e[11] = attributes;
    put_le16(e + 14, create_time);
    put_le16(e + 16, create_date);
    put_le16(e + 20, uint16_t(cluster >> 16));
    put_le16(e + 22, 0x6000);
    put_le16(e + 24, 0x5A22);
    put_le16(e + 26, uint16_t(cluster));
    put_le32(e + 28, size);
    return true;
}

void fat_builder::write_cluster(uint32_t cluster, const std::vector<uint8_t>& bytes, size_t offset) {
    uint8_t* p = sector(data_start_ + uint64_t(cluster - 2) * spc_) + offset;
    size_t room = bytes_.size() - size_t(p - bytes_.data());
    std::memcpy(p, bytes.data(), std::min(room, bytes.size()));
}

void fat_builder::chain_folder(uint32_t first, uint32_t count) {
    for (uint32_t i = 0; i + 1 < count; ++i) set_fat(first + i, first + i + 1);
    set_fat(first + count - 1, end_of_chain());
}

bool fat_builder::save(const std::string& path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes_.data()), std::streamsize(bytes_.size()));
    return bool(out);
}

}  // namespace qv::test
