#include "engine/fat_allocation.hpp"

#include <algorithm>
#include <bit>

namespace qv {

namespace {

constexpr uint32_t fat32_entry_mask = 0x0FFFFFFF;
constexpr uint32_t first_data_cluster = 2;

// The table entry of cluster x, or nothing when the table does not reach it.
bool read_entry(byte_view table, int bits, uint32_t x, uint32_t* value) {
    switch (bits) {
        case 12: {
            size_t at = size_t(x) + x / 2;
            if (!table.has(at, 2)) return false;
            uint32_t pair = table.le16(at);
            *value = (x & 1) ? pair >> 4 : pair & 0xFFF;
            return true;
        }
        case 16:
            if (!table.has(size_t(x) * 2, 2)) return false;
            *value = table.le16(size_t(x) * 2);
            return true;
        case 32:
            if (!table.has(size_t(x) * 4, 4)) return false;
            *value = table.le32(size_t(x) * 4) & fat32_entry_mask;
            return true;
        default:
            return false;
    }
}

// The smallest value that marks a bad cluster (then reserved and end-of-chain values).
uint32_t bad_cluster_mark(int bits) {
    return bits == 12 ? 0xFF7 : bits == 16 ? 0xFFF7 : 0x0FFFFFF7;
}

}  // namespace

uint32_t fat_table_faults(byte_view table, int bits, uint32_t entry_count, uint8_t media) {
    uint32_t faults = 0;
    uint32_t first = 0;
    if (!read_entry(table, bits, 0, &first) || (first & 0xFF) != media) ++faults;
    const uint32_t marks = bad_cluster_mark(bits);
    for (uint32_t x = first_data_cluster; x < entry_count; ++x) {
        uint32_t value = 0;
        if (!read_entry(table, bits, x, &value)) {
            ++faults;
            continue;
        }
        if (value == 0 || value >= marks) continue;
        if (value == 1 || value == x || value >= entry_count) {
            ++faults;
            continue;
        }
        uint32_t next = 0;
        if (read_entry(table, bits, value, &next) && next == 0) ++faults;  // a chain into free space
    }
    return faults;
}

std::vector<bool> fat_chain_targets(byte_view table, int bits, uint32_t entry_count) {
    std::vector<bool> targets(entry_count, false);
    for (uint32_t x = first_data_cluster; x < entry_count; ++x) {
        uint32_t value = 0;
        if (read_entry(table, bits, x, &value) && value >= first_data_cluster && value < entry_count)
            targets[value] = true;
    }
    return targets;
}

fat_allocation fat_allocation::from_table(byte_view table, int bits, uint32_t entry_count) {
    fat_allocation a;
    a.entry_count_ = entry_count < first_data_cluster ? first_data_cluster : entry_count;
    a.used_.assign((size_t(a.entry_count_) + 63) / 64, 0);
    a.complete_ = bits == 12 || bits == 16 || bits == 32;
    uint32_t used = 0;
    for (uint32_t x = first_data_cluster; x < a.entry_count_; ++x) {
        uint32_t value = 0;
        if (!read_entry(table, bits, x, &value)) {
            a.complete_ = false;
            value = 1;
        }
        if (value != 0) {
            a.used_[x / 64] |= uint64_t(1) << (x % 64);
            ++used;
        }
    }
    a.used_[0] |= 0x3;  // clusters 0 and 1 hold no data
    a.free_ = a.entry_count_ - first_data_cluster - used;
    return a;
}

uint32_t fat_allocation::next_with(uint32_t from, bool used) const {
    if (from < first_data_cluster) from = first_data_cluster;
    if (from >= entry_count_) return entry_count_;
    size_t word = from / 64;
    uint64_t bits = used ? used_[word] : ~used_[word];
    bits &= ~uint64_t(0) << (from % 64);
    for (;;) {
        if (bits != 0) {
            uint64_t x = uint64_t(word) * 64 + uint64_t(std::countr_zero(bits));
            return x < entry_count_ ? uint32_t(x) : entry_count_;
        }
        if (++word >= used_.size()) return entry_count_;
        bits = used ? used_[word] : ~used_[word];
    }
}

fat_data_plan plan_deleted_data(uint32_t first_cluster, uint64_t size, uint32_t cluster_bytes,
                                const fat_allocation& table) {
    fat_data_plan plan;
    const uint32_t end = table.entry_count();
    if (size == 0) {
        plan.complete = true;
        return plan;
    }
    if (cluster_bytes == 0 || first_cluster < first_data_cluster || first_cluster >= end) return plan;
    uint64_t needed = (size + cluster_bytes - 1) / cluster_bytes;
    plan.first_in_use = table.in_use(first_cluster);
    uint64_t had = 0;
    if (plan.first_in_use) {
        uint64_t count = std::min<uint64_t>(needed, end - first_cluster);
        plan.runs.push_back({first_cluster, uint32_t(count)});
        had = count;
    } else {
        uint32_t c = first_cluster;
        while (had < needed && c < end) {
            uint32_t stop = table.next_in_use(c);
            uint64_t count = std::min<uint64_t>(needed - had, stop - c);
            plan.runs.push_back({c, uint32_t(count)});
            had += count;
            if (had >= needed || stop >= end) break;
            c = table.next_free(stop);
            if (c >= end) break;
            plan.skipped += c - stop;
        }
    }
    plan.bytes = std::min<uint64_t>(size, had * cluster_bytes);
    plan.complete = plan.bytes == size;
    return plan;
}

}  // namespace qv
