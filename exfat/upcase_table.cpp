#include "exfat/upcase_table.hpp"

namespace qv::exfat {

namespace {

constexpr uint16_t compressed_run = 0xFFFF;
constexpr size_t units = 0x10000;

}  // namespace

uint32_t upcase_table::checksum(byte_view bytes) {
    uint32_t sum = 0;
    for (size_t i = 0; i < bytes.size(); ++i)
        sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + bytes.data()[i];
    return sum;
}

bool upcase_table::load(byte_view bytes) {
    map_.clear();
    if (bytes.size() < 2 || bytes.size() % 2 != 0) return false;
    std::vector<char16_t> map;
    map.reserve(units);
    const size_t count = bytes.size() / 2;
    for (size_t i = 0; i < count && map.size() < units; ++i) {
        uint16_t v = bytes.le16(2 * i);
        if (v == compressed_run && i + 1 < count) {
            size_t run = bytes.le16(2 * (i + 1));
            ++i;
            while (run-- > 0 && map.size() < units) map.push_back(char16_t(map.size()));
            continue;
        }
        map.push_back(char16_t(v));
    }
    map_ = std::move(map);
    return true;
}

}  // namespace qv::exfat
