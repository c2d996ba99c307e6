#include "partition/ebr_chain.hpp"

#include <cstring>

namespace qv::partition {
namespace {

constexpr uint64_t max_lba = 0xFFFFFFFFu;

mbr_entry_plan entry_of(uint8_t type, uint64_t first, uint64_t last, uint64_t relative_to, uint32_t heads,
                        uint32_t sectors_per_track) {
    mbr_entry_plan e;
    e.used = true;
    e.type = type;
    e.first_sector = uint32_t(first - relative_to);
    e.sector_count = uint32_t(last - first + 1);
    e.start_chs = chs_of(uint32_t(first), heads, sectors_per_track);
    e.end_chs = chs_of(uint32_t(last), heads, sectors_per_track);
    return e;
}

}  // namespace

std::optional<logical_chain> plan_logical_chain(const QList<partition_item_s>& logicals, uint64_t after,
                                                uint32_t heads, uint32_t sectors_per_track, QString* why) {
    auto fail = [&](const QString& text) -> std::optional<logical_chain> {
        if (why) *why = text;
        return std::nullopt;
    };
    if (logicals.isEmpty()) return fail(QStringLiteral("no logical partition to chain"));
    logical_chain chain;
    uint64_t used_to = after;  // last sector taken by a primary or an earlier logical partition
    for (const partition_item_s& p : logicals) {
        const QString which = QStringLiteral("the %1 partition at sector %2").arg(p.fs_name).arg(p.start_sector);
        if (p.end_sector < p.start_sector) return fail(which + QStringLiteral(" ends before it starts"));
        if (p.start_sector <= used_to + 1)
            return fail(which + QStringLiteral(" has no free sector before it for its boot record"));
        if (p.end_sector > max_lba)
            return fail(which + QStringLiteral(" lies beyond what a master boot record can describe"));
        ebr_plan r;
        r.lba = p.start_sector >= ebr_preferred_gap && p.start_sector - ebr_preferred_gap > used_to
                    ? p.start_sector - ebr_preferred_gap
                    : used_to + 1;
        r.logical = entry_of(uint8_t(p.partition_type), p.start_sector, p.end_sector, r.lba, heads, sectors_per_track);
        r.logical.fs_name = p.fs_name;
        chain.records.push_back(r);
        used_to = p.end_sector;
    }
    chain.first = chain.records.front().lba;
    chain.last = used_to;

    for (size_t i = 0; i < chain.records.size(); ++i) {
        ebr_plan& r = chain.records[i];
        r.new_sector.fill(0);
        write_mbr_entry(r.new_sector.data() + mbr_table_offset, r.logical);
        if (i + 1 < chain.records.size()) {
            const ebr_plan& next = chain.records[i + 1];
            const uint64_t next_last = uint64_t(next.logical.first_sector) + next.lba + next.logical.sector_count - 1;
            write_mbr_entry(r.new_sector.data() + mbr_table_offset + mbr_entry_bytes,
                            entry_of(mbr_type_ebr_link, next.lba, next_last, chain.first, heads, sectors_per_track));
        }
        r.new_sector[mbr_signature_offset] = 0x55;
        r.new_sector[mbr_signature_offset + 1] = 0xAA;
    }
    return chain;
}

}  // namespace qv::partition
