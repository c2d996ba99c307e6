#include "partition/disk_table.hpp"

#include <zlib.h>

#include <algorithm>
#include <set>

#include "devices/device_handle.hpp"
#include "devices/le_bytes.hpp"
#include "partition/boot_sector_tests.hpp"

namespace qv::partition {
namespace {

// MBR (sector 0 and every extended boot record).
constexpr size_t mbr_entries_at = 446;
constexpr size_t mbr_entry_size = 16;
constexpr size_t mbr_entry_status = 0;
constexpr size_t mbr_entry_type = 4;
constexpr size_t mbr_entry_first = 8;
constexpr size_t mbr_entry_count = 12;
constexpr size_t boot_signature_at = 510;
constexpr int max_logical_partitions = 256;

// GPT header.
constexpr size_t gpt_signature_at = 0;
constexpr size_t gpt_header_size_at = 12;
constexpr size_t gpt_header_crc_at = 16;
constexpr size_t gpt_my_lba_at = 24;
constexpr size_t gpt_alternate_lba_at = 32;
constexpr size_t gpt_first_usable_at = 40;
constexpr size_t gpt_last_usable_at = 48;
constexpr size_t gpt_disk_guid_at = 56;
constexpr size_t gpt_entries_lba_at = 72;
constexpr size_t gpt_entry_count_at = 80;
constexpr size_t gpt_entry_size_at = 84;
constexpr size_t gpt_entries_crc_at = 88;
// GPT entry.
constexpr size_t gpt_entry_type_at = 0;
constexpr size_t gpt_entry_unique_at = 16;
constexpr size_t gpt_entry_first_at = 32;
constexpr size_t gpt_entry_last_at = 40;
constexpr size_t gpt_entry_name_at = 56;
constexpr size_t gpt_entry_name_units = 36;

constexpr uint32_t gpt_max_entry_bytes = 4096;
constexpr uint64_t gpt_max_array_bytes = 4u << 20;  // far above any real table (16 KiB usual)

bool is_extended_type(uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

bool has_boot_signature(byte_view s) { return s.u8(boot_signature_at) == 0x55 && s.u8(boot_signature_at + 1) == 0xAA; }

guid_bytes guid_at(byte_view b, size_t at) {
    guid_bytes g{};
    if (b.has(at, g.size())) std::copy_n(b.data() + at, g.size(), g.begin());
    return g;
}

uint32_t crc32_of(const uint8_t* data, size_t len) {
    uLong crc = crc32(0L, Z_NULL, 0);
    // zlib takes lengths as uInt; the arrays checked here are at most a few MiB.
    return uint32_t(crc32(crc, data, uInt(len)));
}

bool overlap(const listed_partition& a, const listed_partition& b) { return a.first <= b.last && b.first <= a.last; }

// Index pair of the first two overlapping partitions, or -1.
std::pair<int, int> first_overlap(const std::vector<listed_partition>& parts) {
    for (size_t i = 0; i < parts.size(); ++i)
        for (size_t k = i + 1; k < parts.size(); ++k)
            if (overlap(parts[i], parts[k])) return {int(i), int(k)};
    return {-1, -1};
}

QString entry_name(byte_view e) {
    QString name;
    for (size_t i = 0; i < gpt_entry_name_units; ++i) {
        const uint16_t unit = e.le16(gpt_entry_name_at + 2 * i);
        if (unit == 0) break;
        name.append(QChar(unit));
    }
    return name;
}

void read_gpt_copy(device_handle& dev, uint64_t lba, bool primary, uint64_t disk_sectors, gpt_copy* copy) {
    copy->header_lba = lba;
    auto damaged = [&](const QString& why) {
        copy->state = gpt_copy_state::damaged;
        copy->problem = why;
        copy->partitions.clear();
    };
    std::array<uint8_t, sector_bytes> raw{};
    if (lba >= disk_sectors || !dev.read_exact(lba * sector_bytes, raw.data(), raw.size())) {
        copy->state = gpt_copy_state::missing;
        return;
    }
    const byte_view h(raw.data(), raw.size());
    if (!h.equals(gpt_signature_at, "EFI PART")) {
        copy->state = gpt_copy_state::missing;
        return;
    }
    // The size bounds the CRC's range, so it is checked before the CRC can vouch for anything.
    const uint32_t header_size = h.le32(gpt_header_size_at);
    if (header_size < gpt_header_min_bytes || header_size > sector_bytes)
        return damaged(QStringLiteral("header size %1").arg(header_size));
    std::array<uint8_t, sector_bytes> zeroed = raw;
    put_le32(zeroed.data() + gpt_header_crc_at, 0);
    if (crc32_of(zeroed.data(), header_size) != h.le32(gpt_header_crc_at))
        return damaged(QStringLiteral("header CRC wrong"));

    copy->alternate_lba = h.le64(gpt_alternate_lba_at);
    copy->first_usable = h.le64(gpt_first_usable_at);
    copy->last_usable = h.le64(gpt_last_usable_at);
    copy->entries_lba = h.le64(gpt_entries_lba_at);
    copy->entry_count = h.le32(gpt_entry_count_at);
    copy->entry_bytes = h.le32(gpt_entry_size_at);
    copy->disk_guid = guid_at(h, gpt_disk_guid_at);
    const uint64_t last_lba = disk_sectors - 1;

    if (h.le64(gpt_my_lba_at) != lba) return damaged(QStringLiteral("header names LBA %1 as its own").arg(h.le64(gpt_my_lba_at)));
    if (primary ? copy->alternate_lba != last_lba : copy->alternate_lba != gpt_header_lba)
        return damaged(QStringLiteral("other copy said to be at LBA %1").arg(copy->alternate_lba));
    if (copy->first_usable > copy->last_usable || copy->last_usable >= last_lba || copy->first_usable <= gpt_header_lba)
        return damaged(QStringLiteral("usable area %1-%2 does not fit the disk").arg(copy->first_usable).arg(copy->last_usable));
    const uint32_t eb = copy->entry_bytes;
    if (eb < gpt_entry_min_bytes || eb > gpt_max_entry_bytes || (eb & (eb - 1)) != 0)
        return damaged(QStringLiteral("entry size %1").arg(eb));
    const uint64_t array_bytes = uint64_t(copy->entry_count) * eb;  // both 32-bit: no overflow
    if (copy->entry_count == 0 || array_bytes > gpt_max_array_bytes)
        return damaged(QStringLiteral("%1 entries").arg(copy->entry_count));
    const uint64_t array_sectors = (array_bytes + sector_bytes - 1) / sector_bytes;
    const uint64_t e = copy->entries_lba;
    const bool array_fits = primary ? e > gpt_header_lba && e < copy->first_usable && array_sectors <= copy->first_usable - e
                                    : e > copy->last_usable && e < lba && array_sectors <= lba - e;
    if (!array_fits) return damaged(QStringLiteral("entry array at LBA %1 does not fit").arg(e));

    std::vector<uint8_t> entries(array_bytes);
    if (!dev.read_exact(e * sector_bytes, entries.data(), entries.size()))
        return damaged(QStringLiteral("entry array unreadable"));
    if (crc32_of(entries.data(), entries.size()) != h.le32(gpt_entries_crc_at))
        return damaged(QStringLiteral("entry array CRC wrong"));

    const byte_view array(entries.data(), entries.size());
    for (uint32_t i = 0; i < copy->entry_count; ++i) {
        const byte_view entry = array.sub(size_t(i) * eb, eb);
        listed_partition p;
        p.type_guid = guid_at(entry, gpt_entry_type_at);
        if (guid_is_zero(p.type_guid)) continue;
        p.unique_guid = guid_at(entry, gpt_entry_unique_at);
        p.first = entry.le64(gpt_entry_first_at);
        p.last = entry.le64(gpt_entry_last_at);
        p.name = entry_name(entry);
        if (p.first > p.last || p.first < copy->first_usable || p.last > copy->last_usable)
            return damaged(QStringLiteral("entry %1 (%2-%3) lies outside the usable area").arg(i + 1).arg(p.first).arg(p.last));
        copy->partitions.push_back(p);
    }
    std::vector<listed_partition> sorted = copy->partitions;
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t i = 1; i < sorted.size(); ++i)
        if (overlap(sorted[i - 1], sorted[i]))
            return damaged(QStringLiteral("entries at %1 and %2 overlap").arg(sorted[i - 1].first).arg(sorted[i].first));
    copy->state = gpt_copy_state::good;
}

// The partition tables' views of the same GPT must agree; the backup is
// taken as the damaged one when they do not.
void cross_check(disk_table* t) {
    if (t->primary.state != gpt_copy_state::good || t->backup.state != gpt_copy_state::good) return;
    const gpt_copy& a = t->primary;
    gpt_copy& b = t->backup;
    bool same = a.disk_guid == b.disk_guid && a.first_usable == b.first_usable && a.last_usable == b.last_usable &&
                a.entry_count == b.entry_count && a.entry_bytes == b.entry_bytes &&
                a.partitions.size() == b.partitions.size();
    for (size_t i = 0; same && i < a.partitions.size(); ++i)
        same = a.partitions[i].first == b.partitions[i].first && a.partitions[i].last == b.partitions[i].last &&
               a.partitions[i].type_guid == b.partitions[i].type_guid;
    if (!same) {
        b.state = gpt_copy_state::damaged;
        b.problem = QStringLiteral("does not match the primary");
        b.partitions.clear();
    }
}

// Follows the chain of extended boot records from the extended partition's
// first sector; each link is relative to that sector. A visited set and a
// count bound the walk; every logical partition must lie inside the extended one.
void read_logical_partitions(device_handle& dev, const listed_partition& ext, disk_table* t) {
    std::set<uint64_t> visited;
    uint64_t ebr = ext.first;
    for (int n = 0; n < max_logical_partitions; ++n) {
        if (!visited.insert(ebr).second) {
            t->problems << QStringLiteral("the chain of logical partitions loops back to sector %1").arg(ebr);
            return;
        }
        std::array<uint8_t, sector_bytes> raw{};
        if (ebr < ext.first || ebr > ext.last || !dev.read_exact(ebr * sector_bytes, raw.data(), raw.size())) {
            t->problems << QStringLiteral("extended boot record at sector %1 unreadable").arg(ebr);
            return;
        }
        const byte_view s(raw.data(), raw.size());
        if (!has_boot_signature(s)) {
            t->problems << QStringLiteral("extended boot record at sector %1 has no signature").arg(ebr);
            return;
        }
        const byte_view own = s.sub(mbr_entries_at, mbr_entry_size);
        const byte_view link = s.sub(mbr_entries_at + mbr_entry_size, mbr_entry_size);
        const uint64_t rel = own.le32(mbr_entry_first), count = own.le32(mbr_entry_count);
        if (own.u8(mbr_entry_type) != 0 && count != 0) {
            listed_partition p;
            p.first = ebr + rel;
            p.last = p.first + count - 1;
            p.mbr_type = own.u8(mbr_entry_type);
            p.logical = true;
            if (rel == 0 || p.last > ext.last)
                t->problems << QStringLiteral("logical partition at sector %1 lies outside the extended one").arg(p.first);
            else
                t->partitions.push_back(p);
        }
        if (!is_extended_type(link.u8(mbr_entry_type)) || link.le32(mbr_entry_count) == 0) return;
        ebr = ext.first + link.le32(mbr_entry_first);
    }
    t->problems << QStringLiteral("more than %1 logical partitions").arg(max_logical_partitions);
}

// Sector 0 as an MBR: the boot signature, status bytes 0x00 or 0x80, used
// entries inside the disk and not overlapping; a volume boot sector (a disk
// formatted without a table) is not one.
void read_mbr(device_handle& dev, byte_view s, const std::vector<uint8_t>& first_two, disk_table* t) {
    if (!has_boot_signature(s)) return;
    if (examine_boot_sector(byte_view(first_two.data(), first_two.size()), 0).kind != boot_kind::none) return;
    std::vector<listed_partition> primaries;
    const listed_partition* extended = nullptr;
    listed_partition ext;
    for (size_t i = 0; i < 4; ++i) {
        const byte_view e = s.sub(mbr_entries_at + i * mbr_entry_size, mbr_entry_size);
        const uint8_t status = e.u8(mbr_entry_status);
        if (status != 0x00 && status != 0x80) return;  // not a partition table
        const uint8_t type = e.u8(mbr_entry_type);
        const uint64_t first = e.le32(mbr_entry_first), count = e.le32(mbr_entry_count);
        if (type == 0 || count == 0) continue;
        if (type == mbr_type_gpt_protective) {
            t->protective_mbr = true;
            continue;
        }
        if (first == 0 || first + count > t->disk_sectors) {
            t->problems << QStringLiteral("entry %1 (%2 sectors from %3) runs past the disk's end").arg(i + 1).arg(count).arg(first);
            continue;
        }
        listed_partition p;
        p.first = first;
        p.last = first + count - 1;
        p.mbr_type = type;
        primaries.push_back(p);
    }
    if (t->protective_mbr) return;
    if (primaries.empty()) return;
    const auto [a, b] = first_overlap(primaries);
    if (a >= 0) {
        t->problems << QStringLiteral("entries at sectors %1 and %2 overlap").arg(primaries[a].first).arg(primaries[b].first);
        return;
    }
    t->kind = table_kind::mbr;
    for (const listed_partition& p : primaries) {
        if (is_extended_type(p.mbr_type) && !extended) {
            ext = p;
            extended = &ext;
        } else {
            t->partitions.push_back(p);
        }
    }
    if (extended) read_logical_partitions(dev, ext, t);
}

}  // namespace

QString guid_text(const guid_bytes& g) {
    // The first three groups are stored little-endian, the last two as they read.
    const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    QString out;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += u'-';
        out += QStringLiteral("%1").arg(g[order[i]], 2, 16, QLatin1Char('0')).toUpper();
    }
    return out;
}

bool guid_is_zero(const guid_bytes& g) {
    return std::all_of(g.begin(), g.end(), [](uint8_t b) { return b == 0; });
}

disk_table read_disk_table(device_handle& dev) {
    disk_table t;
    t.disk_sectors = dev.length() / sector_bytes;
    if (t.disk_sectors < 3) return t;
    std::vector<uint8_t> first_two(2 * sector_bytes);
    if (!dev.read_exact(0, first_two.data(), first_two.size())) return t;
    read_mbr(dev, byte_view(first_two.data(), sector_bytes), first_two, &t);
    if (t.kind == table_kind::mbr) t.mbr_listed = t.partitions.size();

    read_gpt_copy(dev, gpt_header_lba, true, t.disk_sectors, &t.primary);
    read_gpt_copy(dev, t.disk_sectors - 1, false, t.disk_sectors, &t.backup);
    cross_check(&t);
    if (t.gpt_good()) {
        // A valid GPT rules, even behind a hybrid or a wiped first sector.
        t.kind = table_kind::gpt;
        t.partitions = t.primary.state == gpt_copy_state::good ? t.primary.partitions : t.backup.partitions;
    } else if (t.protective_mbr) {
        t.kind = table_kind::none;  // the GPT the protective MBR announces is gone
        t.partitions.clear();
    }
    std::sort(t.partitions.begin(), t.partitions.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return t;
}

const char* table_kind_name(table_kind kind) {
    switch (kind) {
    case table_kind::gpt: return "gpt";
    case table_kind::mbr: return "mbr";
    case table_kind::none: break;
    }
    return "none";
}

const char* gpt_copy_state_name(gpt_copy_state state) {
    switch (state) {
    case gpt_copy_state::good: return "good";
    case gpt_copy_state::damaged: return "damaged";
    case gpt_copy_state::missing: break;
    }
    return "missing";
}

QString describe_table(const disk_table& t) {
    auto copy_text = [](const char* which, const gpt_copy& c) {
        QString s = QStringLiteral("%1 %2").arg(QLatin1String(which), QLatin1String(gpt_copy_state_name(c.state)));
        if (!c.problem.isEmpty()) s += QStringLiteral(" (%1)").arg(c.problem);
        return s;
    };
    const bool any_gpt = t.protective_mbr || t.primary.state != gpt_copy_state::missing ||
                         t.backup.state != gpt_copy_state::missing;
    const QString count = QStringLiteral("%1 partition%2").arg(t.partitions.size()).arg(t.partitions.size() == 1 ? "" : "s");
    if (t.kind == table_kind::gpt) {
        if (t.primary.state == gpt_copy_state::good && t.backup.state == gpt_copy_state::good)
            return QStringLiteral("GPT: both copies good, %1").arg(count);
        return QStringLiteral("GPT: %1, %2, %3").arg(copy_text("primary", t.primary), copy_text("backup", t.backup), count);
    }
    if (any_gpt)
        return QStringLiteral("GPT: both copies gone (%1, %2)").arg(copy_text("primary", t.primary), copy_text("backup", t.backup));
    if (t.kind == table_kind::mbr) {
        const auto logical = std::count_if(t.partitions.begin(), t.partitions.end(), [](const auto& p) { return p.logical; });
        QString s = QStringLiteral("MBR: %1").arg(count);
        if (logical) s += QStringLiteral(" (%1 logical)").arg(logical);
        if (!t.problems.isEmpty()) s += QStringLiteral("; ") + t.problems.join(QStringLiteral("; "));
        return s;
    }
    if (!t.problems.isEmpty()) return QStringLiteral("no usable partition table: ") + t.problems.join(QStringLiteral("; "));
    return QStringLiteral("no partition table");
}

}  // namespace qv::partition
