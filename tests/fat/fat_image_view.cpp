#include "tests/fat/fat_image_view.hpp"

#include <cstring>

#include "tests/support/test_support.hpp"

namespace qv::test {

namespace {

uint32_t le(const std::vector<uint8_t>& b, size_t at, int n) {
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | (at + i < b.size() ? b[at + i] : 0);
    return v;
}

}  // namespace

bool fat_image_view::load(const std::string& path) {
    bytes = read_file(path);
    if (bytes.size() < 512) return false;
    uint32_t sector = le(bytes, 11, 2), spc = bytes[13], reserved = le(bytes, 14, 2), fats = bytes[16];
    uint32_t root_entries = le(bytes, 17, 2), total = le(bytes, 19, 2), per_fat = le(bytes, 22, 2);
    if (total == 0) total = le(bytes, 32, 4);
    if (per_fat == 0) per_fat = le(bytes, 36, 4);
    if (sector != 512 || spc == 0) return false;
    uint32_t root_sectors = root_entries * 32 / 512;
    uint32_t system = reserved + fats * per_fat + root_sectors;
    uint32_t clusters = (total - system) / spc;
    bits = clusters < 4085 ? 12 : clusters < 65525 ? 16 : 32;
    cluster_bytes = spc * 512;
    entry_count = clusters + 2;
    volume_bytes = uint64_t(total) * 512;
    fat_offset_ = uint64_t(reserved) * 512;
    fat_bytes_ = uint64_t(per_fat) * 512;
    root_offset_ = fat_offset_ + uint64_t(fats) * fat_bytes_;
    root_bytes_ = uint64_t(root_sectors) * 512;
    data_offset_ = uint64_t(system) * 512;
    root_cluster_ = bits == 32 ? le(bytes, 44, 4) : 0;
    return true;
}

std::vector<uint8_t> fat_image_view::table() const {
    return {bytes.begin() + long(fat_offset_), bytes.begin() + long(fat_offset_ + fat_bytes_)};
}

uint32_t fat_image_view::fat_entry(uint32_t c) const {
    if (bits == 12) {
        uint32_t pair = le(bytes, fat_offset_ + c + c / 2, 2);
        return (c & 1) ? pair >> 4 : pair & 0xFFF;
    }
    if (bits == 16) return le(bytes, fat_offset_ + c * 2, 2);
    return le(bytes, fat_offset_ + c * 4, 4) & 0x0FFFFFFF;
}

uint64_t fat_image_view::cluster_offset(uint32_t c) const { return data_offset_ + uint64_t(c - 2) * cluster_bytes; }

std::vector<uint8_t> fat_image_view::cluster(uint32_t c) const {
    uint64_t at = cluster_offset(c);
    return {bytes.begin() + long(at), bytes.begin() + long(at + cluster_bytes)};
}

std::vector<uint8_t> fat_image_view::folder(uint32_t first) const {
    if (first == 0 && bits != 32)
        return {bytes.begin() + long(root_offset_), bytes.begin() + long(root_offset_ + root_bytes_)};
    uint32_t c = first == 0 ? root_cluster_ : first;
    std::vector<uint8_t> out;
    uint32_t end = bits == 12 ? 0xFF8 : bits == 16 ? 0xFFF8 : 0x0FFFFFF8;
    for (uint32_t steps = 0; c >= 2 && c < entry_count && steps < entry_count; ++steps) {
        auto part = cluster(c);
        out.insert(out.end(), part.begin(), part.end());
        uint32_t next = fat_entry(c);
        if (next >= end || next < 2) break;
        c = next;
    }
    return out;
}

long fat_image_view::find_entry(const std::vector<uint8_t>& folder, const std::string& tail) {
    for (size_t i = 0; i + 32 <= folder.size(); i += 32)
        if ((folder[i + 11] & 0x3F) != 0x0F && std::memcmp(&folder[i + 1], tail.data(), 10) == 0) return long(i / 32);
    return -1;
}

}  // namespace qv::test
