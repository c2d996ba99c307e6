#include "partition/mbr_plan.hpp"

#include <algorithm>
#include <cstring>

#include "devices/le_bytes.hpp"
#include "partition/ebr_chain.hpp"
#include "partition/mbr_loader.hpp"

namespace qv::partition {
namespace {

constexpr size_t entry_boot = 0;
constexpr size_t entry_start_chs = 1;
constexpr size_t entry_type = 4;
constexpr size_t entry_end_chs = 5;
constexpr size_t entry_first_sector = 8;
constexpr size_t entry_sector_count = 12;
constexpr size_t disk_signature_offset = 440;

constexpr uint8_t active_flag = 0x80;
constexpr uint32_t max_heads = 255;
constexpr uint32_t max_sectors_per_track = 63;
constexpr uint64_t max_lba = 0xFFFFFFFFu;

void put_chs(uint8_t* p, const chs_address& a) {
    p[0] = a.head;
    p[1] = a.sector;
    p[2] = a.cylinder;
}

QString chs_text(const chs_address& a) {
    return QStringLiteral("%1/%2/%3").arg(a.cylinder_number()).arg(a.head).arg(a.sector & 0x3F);
}

}  // namespace

void write_mbr_entry(uint8_t* e, const mbr_entry_plan& ep) {
    std::memset(e, 0, mbr_entry_bytes);
    if (!ep.used) return;
    e[entry_boot] = ep.boot_indicator;
    put_chs(e + entry_start_chs, ep.start_chs);
    e[entry_type] = ep.type;
    put_chs(e + entry_end_chs, ep.end_chs);
    put_le32(e + entry_first_sector, ep.first_sector);
    put_le32(e + entry_sector_count, ep.sector_count);
}

chs_address chs_of(uint32_t sector, uint32_t heads, uint32_t sectors_per_track) {
    if (heads == 0 || sectors_per_track == 0) return {};
    uint32_t cylinder = sector / sectors_per_track / heads;
    chs_address a;
    a.head = uint8_t((sector / sectors_per_track) % heads);
    a.sector = uint8_t(((sector % sectors_per_track) + 1) | ((cylinder >> 2) & 0xC0));
    a.cylinder = uint8_t(cylinder);
    return a;
}

int plan_partition_table(std::span<const uint8_t, mbr_bytes> old_sector,
                         const QList<partition_item_s>& found, const disk_geometry& geometry,
                         uint64_t drive_sectors, mbr_plan* plan, QString* error,
                         bool chain_logicals) {
    auto fail = [&](const QString& text) {
        if (error) *error = text;
        return -1;
    };
    if (!plan) return fail(QStringLiteral("no plan to fill"));
    if (found.isEmpty())
        return fail(QStringLiteral("no partition was found, so there is nothing to write"));

    mbr_plan out;
    out.drive = plan->drive;
    out.heads = geometry.tracks_per_cylinder >= 1 && geometry.tracks_per_cylinder <= max_heads
                    ? geometry.tracks_per_cylinder
                    : max_heads;
    out.sectors_per_track =
        geometry.sectors_per_track >= 1 && geometry.sectors_per_track <= max_sectors_per_track
            ? geometry.sectors_per_track
            : max_sectors_per_track;
    std::copy(old_sector.begin(), old_sector.end(), out.old_sector.begin());
    out.new_sector = out.old_sector;
    std::memcpy(out.new_sector.data(), mbr_loader_code.data(), mbr_loader_bytes);
    out.new_sector[mbr_signature_offset] = 0x55;
    out.new_sector[mbr_signature_offset + 1] = 0xAA;

    // Past four partitions, the ones after the third become logical partitions
    // in an extended one, when each has room for its boot record before it.
    QList<partition_item_s> primaries = found;
    std::optional<logical_chain> chain;
    if (chain_logicals && found.size() > qsizetype(mbr_entry_count)) {
        QList<partition_item_s> sorted = found;
        std::stable_sort(sorted.begin(), sorted.end(), [](const partition_item_s& a, const partition_item_s& b) {
            return a.start_sector < b.start_sector;
        });
        const qsizetype primary_count = mbr_entry_count - 1;
        uint64_t primaries_end = 0;
        for (qsizetype i = 0; i < primary_count; ++i) primaries_end = std::max(primaries_end, sorted[i].end_sector);
        chain = plan_logical_chain(sorted.mid(primary_count), primaries_end, out.heads, out.sectors_per_track, nullptr);
        if (chain && drive_sectors != 0 && chain->last >= drive_sectors) chain.reset();
        if (chain) primaries = sorted.mid(0, primary_count);
    }

    const qsizetype used = std::min<qsizetype>(primaries.size(), mbr_entry_count);
    out.left_out = chain ? 0 : int(primaries.size() - used);
    for (size_t i = 0; i < mbr_entry_count; ++i) {
        uint8_t* e = out.new_sector.data() + mbr_table_offset + i * mbr_entry_bytes;
        const uint8_t old_boot = e[entry_boot];
        std::memset(e, 0, mbr_entry_bytes);
        if (qsizetype(i) >= used) continue;

        const partition_item_s& p = primaries[qsizetype(i)];
        const QString which = QStringLiteral("partition %1 (%2, sectors %3 to %4)")
                                  .arg(i + 1)
                                  .arg(p.fs_name)
                                  .arg(p.start_sector)
                                  .arg(p.end_sector);
        if (p.end_sector < p.start_sector)
            return fail(which + QStringLiteral(" ends before it starts"));
        const uint64_t count = p.end_sector - p.start_sector + 1;
        if (p.start_sector > max_lba || count > max_lba)
            return fail(which +
                        QStringLiteral(" lies beyond what a master boot record can describe"));
        if (drive_sectors != 0 && p.end_sector >= drive_sectors)
            return fail(
                which +
                QStringLiteral(" runs past the end of the drive (%1 sectors)").arg(drive_sectors));

        mbr_entry_plan& ep = out.entries[i];
        ep.used = true;
        ep.fs_name = p.fs_name;
        // Entry 1 is the active one. A second active entry stays as the drive
        // had it; any other non-zero byte would make the whole table invalid.
        ep.boot_indicator = i == 0 ? active_flag : (old_boot == active_flag ? active_flag : 0);
        ep.type = uint8_t(p.partition_type);
        ep.first_sector = uint32_t(p.start_sector);
        ep.sector_count = uint32_t(count);
        ep.start_chs = chs_of(uint32_t(p.start_sector), out.heads, out.sectors_per_track);
        ep.end_chs = chs_of(uint32_t(p.end_sector), out.heads, out.sectors_per_track);
        write_mbr_entry(e, ep);
    }
    if (chain) {
        mbr_entry_plan& ep = out.entries[mbr_entry_count - 1];
        ep.used = true;
        ep.fs_name = QStringLiteral("extended");
        ep.type = mbr_type_extended_lba;
        ep.first_sector = uint32_t(chain->first);
        ep.sector_count = uint32_t(chain->last - chain->first + 1);
        ep.start_chs = chs_of(ep.first_sector, out.heads, out.sectors_per_track);
        ep.end_chs = chs_of(uint32_t(chain->last), out.heads, out.sectors_per_track);
        write_mbr_entry(out.new_sector.data() + mbr_table_offset + (mbr_entry_count - 1) * mbr_entry_bytes, ep);
        out.ebrs = std::move(chain->records);
    }
    *plan = out;
    return 0;
}

QString describe_plan(const mbr_plan& plan) {
    QString text =
        QStringLiteral(
            "drive %1: new master boot record (CHS with %2 heads, %3 sectors per track)\n")
            .arg(plan.drive)
            .arg(plan.heads)
            .arg(plan.sectors_per_track);
    for (size_t i = 0; i < mbr_entry_count; ++i) {
        const mbr_entry_plan& e = plan.entries[i];
        if (!e.used) {
            text += QStringLiteral("  entry %1: empty\n").arg(i + 1);
            continue;
        }
        text += QStringLiteral(
                    "  entry %1: boot 0x%2, type 0x%3 (%4), CHS %5 to %6, first sector %7, %8 "
                    "sectors\n")
                    .arg(i + 1)
                    .arg(e.boot_indicator, 2, 16, QLatin1Char('0'))
                    .arg(e.type, 2, 16, QLatin1Char('0'))
                    .arg(e.fs_name)
                    .arg(chs_text(e.start_chs), chs_text(e.end_chs))
                    .arg(e.first_sector)
                    .arg(e.sector_count);
    }
    for (size_t i = 0; i < plan.ebrs.size(); ++i) {
        const ebr_plan& r = plan.ebrs[i];
        text += QStringLiteral("  logical %1: type 0x%2 (%3), boot record at sector %4, first sector %5, %6 sectors\n")
                    .arg(i + mbr_entry_count + 1)
                    .arg(r.logical.type, 2, 16, QLatin1Char('0'))
                    .arg(r.logical.fs_name)
                    .arg(r.lba)
                    .arg(r.lba + r.logical.first_sector)
                    .arg(r.logical.sector_count);
    }
    byte_view old(plan.old_sector.data(), plan.old_sector.size());
    text += QStringLiteral("  boot loader: %1 bytes; disk signature 0x%2 kept; signature 55 AA\n")
                .arg(mbr_loader_bytes)
                .arg(old.le32(disk_signature_offset), 8, 16, QLatin1Char('0'));
    if (plan.left_out > 0)
        text +=
            QStringLiteral(
                "  %1 further found partition(s) not written: a master boot record holds four\n")
                .arg(plan.left_out);
    return text;
}

}  // namespace qv::partition
