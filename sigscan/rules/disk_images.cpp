// Size rules for disk images: ISO 9660 (the volume space size), QCOW2 (the
// last cluster in use), VDI (the allocated blocks) and sparse VMDK (the grains).

#include <algorithm>
#include <cstring>
#include <vector>

#include "sigscan/rules/rules.hpp"

namespace qv::sig {

std::optional<carve_result> measure_iso9660(carve_input& in, uint64_t start, uint64_t limit,
                                            const file_type&) {
    // The candidate is the primary volume descriptor at 32 KiB into the image.
    constexpr uint64_t system_area = 32 * 1024, descriptor = 2048;
    constexpr size_t space_le = 80, space_be = 84, block_le = 128, block_be = 130;
    constexpr int max_descriptors = 64;
    uint8_t d[descriptor];
    if (!in.read(start, d, sizeof d)) return std::nullopt;
    if (d[0] != 1 || std::memcmp(d + 1, "CD001", 5) != 0 || d[6] != 1) return std::nullopt;
    byte_view v(d, sizeof d);
    const uint32_t blocks = v.le32(space_le), block = v.le16(block_le);
    if (blocks != be32(v, space_be) || block != be16(v, block_be)) return std::nullopt;
    if (block != 512 && block != 1024 && block != 2048) return std::nullopt;
    const uint64_t size = uint64_t(blocks) * block;
    if (size < system_area + 2 * descriptor || size - system_area > limit) return std::nullopt;
    // The set of descriptors ends with a terminator.
    bool terminated = false;
    for (int i = 1; i < max_descriptors && !terminated; ++i) {
        uint8_t t[7];
        if (!in.read(start + i * descriptor, t, sizeof t) || std::memcmp(t + 1, "CD001", 5) != 0) break;
        terminated = t[0] == 255;
    }
    if (!terminated) return std::nullopt;
    carve_result r{size, {}, system_area};
    return r;
}

std::optional<carve_result> measure_qcow2(carve_input& in, uint64_t start, uint64_t limit,
                                          const file_type&) {
    constexpr size_t header_v2 = 72, header_v3 = 104;
    constexpr uint64_t max_refcount_entries = uint64_t(1) << 22;
    uint8_t h[header_v3] = {};
    if (!in.read(start, h, header_v2)) return std::nullopt;
    byte_view v(h, sizeof h);
    const uint32_t version = be32(v, 4);
    if (version != 2 && version != 3) return std::nullopt;
    if (version == 3 && !in.read(start + header_v2, h + header_v2, header_v3 - header_v2)) return std::nullopt;
    const uint32_t cluster_bits = be32(v, 20);
    if (cluster_bits < 9 || cluster_bits > 21) return std::nullopt;
    const uint64_t cluster = uint64_t(1) << cluster_bits;
    const uint32_t refcount_order = version == 3 ? be32(v, 96) : 4;
    if (refcount_order > 6) return std::nullopt;
    const uint64_t refcount_bits = uint64_t(1) << refcount_order;
    const uint64_t table_at = be64(v, 48), table_clusters = be32(v, 56);
    if (table_at == 0 || table_at % cluster != 0 || table_clusters == 0 ||
        table_clusters * cluster / 8 > max_refcount_entries || be64(v, 40) % cluster != 0)
        return std::nullopt;
    // The file ends after its last cluster with a reference.
    const uint64_t entries_per_block = cluster * 8 / refcount_bits;
    uint64_t last_used = 0;  // index + 1
    std::vector<uint8_t> table(size_t(table_clusters * cluster));
    if (table_at + table.size() > limit || !in.read(start + table_at, table.data(), table.size()))
        return std::nullopt;
    byte_view tv(table.data(), table.size());
    std::vector<uint8_t> block(cluster);
    for (uint64_t i = 0; i < table.size() / 8; ++i) {
        const uint64_t at = be64(tv, size_t(i * 8)) & ~uint64_t(0x1FF);
        if (at == 0) continue;
        if (at % cluster != 0 || at + cluster > limit || !in.read(start + at, block.data(), block.size()))
            return std::nullopt;
        for (uint64_t k = entries_per_block; k-- > 0;) {
            const uint64_t bit = k * refcount_bits;
            uint64_t value = 0;
            if (refcount_bits >= 8) {
                for (uint64_t b = 0; b < refcount_bits / 8; ++b) value = value << 8 | block[size_t(bit / 8 + b)];
            } else {
                value = (block[size_t(bit / 8)] >> (8 - refcount_bits - bit % 8)) & ((1u << refcount_bits) - 1);
            }
            if (value != 0) {
                last_used = std::max(last_used, i * entries_per_block + k + 1);
                break;
            }
        }
        if (!in.keep_going()) return std::nullopt;
    }
    if (last_used == 0) return std::nullopt;
    uint64_t size = sat_mul(last_used, cluster);
    if (size <= table_at) return std::nullopt;  // the table itself is counted
    // The L1 table is written at its own length: when it is the last thing
    // in the file, the file ends with it rather than with its cluster.
    const uint64_t l1_end = sat_add(be64(v, 40), sat_mul(be32(v, 36), 8));
    if (l1_end > size - cluster && l1_end < size) size = l1_end;
    return sized(size, limit);
}

std::optional<carve_result> measure_vdi(carve_input& in, uint64_t start, uint64_t limit,
                                        const file_type&) {
    constexpr size_t header = 0x190;
    constexpr uint32_t signature = 0xBEDA107F;
    constexpr size_t signature_at = 0x40, header_size_at = 0x48, type_at = 0x4C, blocks_map_at = 0x154,
                     data_at = 0x158, disk_size_at = 0x170, block_size_at = 0x178, block_extra_at = 0x17C,
                     blocks_at = 0x180, allocated_at = 0x184;
    uint8_t h[header];
    if (!in.read(start, h, sizeof h)) return std::nullopt;
    byte_view v(h, sizeof h);
    if (v.le32(signature_at) != signature || v.le32(header_size_at) < blocks_at) return std::nullopt;
    const uint32_t type = v.le32(type_at);
    if (type < 1 || type > 4) return std::nullopt;
    const uint64_t map = v.le32(blocks_map_at), data = v.le32(data_at);
    const uint64_t block = v.le32(block_size_at), extra = v.le32(block_extra_at);
    const uint64_t blocks = v.le32(blocks_at), allocated = v.le32(allocated_at);
    if (block == 0 || (block & (block - 1)) != 0 || allocated > blocks || map < header || data < map + 4 * blocks)
        return std::nullopt;
    if (sat_mul(blocks, block) < v.le64(disk_size_at)) return std::nullopt;
    const uint64_t size = sat_add(data, sat_mul(allocated, sat_add(block, extra)));
    return sized(size, limit);
}

std::optional<carve_result> measure_vmdk(carve_input& in, uint64_t start, uint64_t limit,
                                         const file_type&) {
    constexpr size_t header = 512;
    constexpr uint64_t sector = 512;
    constexpr uint64_t max_tables = uint64_t(1) << 20;
    constexpr uint32_t compressed_grains = 1u << 16;
    uint8_t h[header];
    if (!in.read(start, h, sizeof h) || std::memcmp(h, "KDMV", 4) != 0) return std::nullopt;
    byte_view v(h, sizeof h);
    const uint32_t version = v.le32(4), flags = v.le32(8);
    const uint64_t capacity = v.le64(12), grain = v.le64(20), descriptor_at = v.le64(28),
                   descriptor_size = v.le64(36), entries = v.le32(44), redundant_at = v.le64(48),
                   directory_at = v.le64(56), overhead = v.le64(64);
    if (version < 1 || version > 3 || (flags & compressed_grains)) return std::nullopt;  // stream-optimised: no tables
    if (h[73] != '\n' || h[74] != ' ' || h[75] != '\r' || h[76] != '\n') return std::nullopt;
    if (grain < 8 || (grain & (grain - 1)) != 0 || entries == 0 || entries > 4096 || capacity == 0)
        return std::nullopt;
    const uint64_t per_table = grain * entries;
    const uint64_t tables = capacity / per_table + (capacity % per_table != 0);
    if (tables > max_tables) return std::nullopt;
    uint64_t end_sector = std::max(overhead, sat_add(descriptor_at, descriptor_size));
    std::vector<uint8_t> directory(size_t(tables * 4));
    std::vector<uint8_t> table(size_t(entries * 4));
    for (uint64_t dir : {directory_at, redundant_at}) {
        if (dir == 0) continue;
        if (sat_mul(dir, sector) + directory.size() > limit ||
            !in.read(start + dir * sector, directory.data(), directory.size()))
            return std::nullopt;
        end_sector = std::max(end_sector, dir + (directory.size() + sector - 1) / sector);
        byte_view dv(directory.data(), directory.size());
        for (uint64_t t = 0; t < tables; ++t) {
            const uint64_t table_at = dv.le32(size_t(t * 4));
            if (table_at == 0) continue;
            if (sat_mul(table_at, sector) + table.size() > limit ||
                !in.read(start + table_at * sector, table.data(), table.size()))
                return std::nullopt;
            end_sector = std::max(end_sector, table_at + (table.size() + sector - 1) / sector);
            byte_view tv(table.data(), table.size());
            for (uint64_t g = 0; g < entries; ++g) {
                const uint64_t at = tv.le32(size_t(g * 4));
                if (at > 1) end_sector = std::max(end_sector, at + grain);  // 1: a grain of zeros
            }
            if ((t & 63) == 0 && !in.keep_going()) return std::nullopt;
        }
    }
    return sized(sat_mul(end_sector, sector), limit);
}

}  // namespace qv::sig
