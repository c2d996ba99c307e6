#include "partition/gpt_plan.hpp"

#include <zlib.h>

#include <QUuid>

#include <algorithm>

#include "devices/device_handle.hpp"
#include "devices/le_bytes.hpp"

namespace qv::partition {
namespace {

constexpr size_t sector = 512;

// GPT header fields.
constexpr size_t hdr_revision_at = 8;
constexpr size_t hdr_size_at = 12;
constexpr size_t hdr_crc_at = 16;
constexpr size_t hdr_my_lba_at = 24;
constexpr size_t hdr_alternate_at = 32;
constexpr size_t hdr_first_usable_at = 40;
constexpr size_t hdr_last_usable_at = 48;
constexpr size_t hdr_disk_guid_at = 56;
constexpr size_t hdr_entries_lba_at = 72;
constexpr size_t hdr_entry_count_at = 80;
constexpr size_t hdr_entry_size_at = 84;
constexpr size_t hdr_entries_crc_at = 88;
constexpr uint32_t hdr_revision_1_0 = 0x00010000;
// GPT entry fields.
constexpr size_t ent_type_at = 0;
constexpr size_t ent_unique_at = 16;
constexpr size_t ent_first_at = 32;
constexpr size_t ent_last_at = 40;
constexpr size_t ent_name_at = 56;
constexpr size_t ent_name_units = 36;
constexpr uint64_t max_array_bytes = 4u << 20;  // what the reader accepts too
// Protective MBR.
constexpr size_t mbr_entry_at = 446;
constexpr size_t mbr_sig_at = 510;
// FAT boot sector.
constexpr size_t bpb_bytes_per_sector = 11;
constexpr size_t bpb_sectors_per_cluster = 13;
constexpr size_t bpb_reserved = 14;
constexpr size_t bpb_fat_count = 16;
constexpr size_t bpb_root_entries = 17;
constexpr size_t bpb_fat_size16 = 22;
constexpr size_t bpb_fat_size32 = 36;
constexpr size_t bpb_root_cluster = 44;
constexpr size_t dirent_bytes = 32;
constexpr size_t dirent_attr = 11;
constexpr uint8_t attr_directory = 0x10;
constexpr uint8_t attr_long_name = 0x0F;
constexpr size_t max_root_read = 64 * 1024;

uint32_t crc32_of(const uint8_t* data, size_t len) {
    return uint32_t(crc32(crc32(0L, Z_NULL, 0), data, uInt(len)));
}

uint64_t sectors_for(uint64_t bytes) { return (bytes + sector - 1) / sector; }

std::vector<uint8_t> protective_mbr(uint64_t disk_sectors) {
    std::vector<uint8_t> s(sector, 0);
    uint8_t* e = s.data() + mbr_entry_at;
    e[1] = 0x00;  // start CHS 0/0/2
    e[2] = 0x02;
    e[3] = 0x00;
    e[4] = mbr_type_gpt_protective;
    e[5] = e[6] = e[7] = 0xFF;  // end CHS beyond what CHS can say
    put_le32(e + 8, 1);
    put_le32(e + 12, uint32_t(std::min<uint64_t>(disk_sectors - 1, 0xFFFFFFFFu)));
    s[mbr_sig_at] = 0x55;
    s[mbr_sig_at + 1] = 0xAA;
    return s;
}

// Sector 0 holds no MBR table of its own (nothing, or a protective one gone).
bool first_sector_is_free(device_handle& dev) {
    uint8_t s[sector];
    if (!dev.read_exact(0, s, sizeof s)) return true;
    if (s[mbr_sig_at] != 0x55 || s[mbr_sig_at + 1] != 0xAA) return true;
    for (size_t i = 0; i < 4; ++i)
        if (s[mbr_entry_at + i * 16 + 4] != 0) return false;
    return true;
}

struct header_fields {
    uint64_t my_lba = 0, alternate = 0, first_usable = 0, last_usable = 0, entries_lba = 0;
    uint32_t entry_count = 0, entry_bytes = 0, entries_crc = 0;
    guid_bytes disk_guid{};
};

// A fresh 92-byte header in a zeroed sector, its CRC filled in.
std::vector<uint8_t> make_header(const header_fields& f) {
    std::vector<uint8_t> h(sector, 0);
    std::copy_n("EFI PART", 8, h.begin());
    put_le32(h.data() + hdr_revision_at, hdr_revision_1_0);
    put_le32(h.data() + hdr_size_at, gpt_header_min_bytes);
    put_le64(h.data() + hdr_my_lba_at, f.my_lba);
    put_le64(h.data() + hdr_alternate_at, f.alternate);
    put_le64(h.data() + hdr_first_usable_at, f.first_usable);
    put_le64(h.data() + hdr_last_usable_at, f.last_usable);
    std::copy(f.disk_guid.begin(), f.disk_guid.end(), h.begin() + hdr_disk_guid_at);
    put_le64(h.data() + hdr_entries_lba_at, f.entries_lba);
    put_le32(h.data() + hdr_entry_count_at, f.entry_count);
    put_le32(h.data() + hdr_entry_size_at, f.entry_bytes);
    put_le32(h.data() + hdr_entries_crc_at, f.entries_crc);
    put_le32(h.data() + hdr_crc_at, crc32_of(h.data(), gpt_header_min_bytes));
    return h;
}

std::vector<uint8_t> padded(std::vector<uint8_t> bytes) {
    bytes.resize(sectors_for(bytes.size()) * sector, 0);
    return bytes;
}

// Fills plan->saved, old_bytes and new_bytes: LBA 0-33 and the last 33 LBAs,
// widened to every sector written. -1 when the two ends would meet.
int settle_saved(device_handle& dev, gpt_plan* plan, QString* error) {
    const uint64_t n = plan->disk_sectors;
    uint64_t head_end = gpt_saved_head_sectors, tail_start = n - gpt_saved_tail_sectors;
    const uint64_t middle = n / 2;
    for (const gpt_write& w : plan->writes) {
        const uint64_t end = w.lba + w.bytes.size() / sector;
        if (w.lba < middle)
            head_end = std::max(head_end, end);
        else
            tail_start = std::min(tail_start, w.lba);
    }
    if (head_end > tail_start) {
        *error = QStringLiteral("the disk is too small for a GPT (%1 sectors)").arg(n);
        return -1;
    }
    plan->saved = {sector_range{0, head_end}, sector_range{tail_start, n - tail_start}};
    plan->old_bytes.assign((head_end + n - tail_start) * sector, 0);
    if (!dev.read_exact(0, plan->old_bytes.data(), head_end * sector) ||
        !dev.read_exact(tail_start * sector, plan->old_bytes.data() + head_end * sector, (n - tail_start) * sector)) {
        *error = QStringLiteral("cannot read the sectors the GPT replaces");
        return -1;
    }
    plan->new_bytes = plan->old_bytes;
    for (const gpt_write& w : plan->writes) {
        const uint64_t at = w.lba < middle ? w.lba * sector : (head_end + w.lba - tail_start) * sector;
        std::copy(w.bytes.begin(), w.bytes.end(), plan->new_bytes.begin() + ptrdiff_t(at));
    }
    return 0;
}

QString range_text(uint64_t lba, uint64_t sectors) {
    return sectors == 1 ? QStringLiteral("LBA %1").arg(lba) : QStringLiteral("LBA %1-%2").arg(lba).arg(lba + sectors - 1);
}

}  // namespace

bool guid_from_text(const QString& text, guid_bytes* out) {
    constexpr qsizetype dashes[] = {8, 13, 18, 23};
    if (text.size() != 36) return false;
    for (qsizetype at : dashes)
        if (text[at] != u'-') return false;
    const QString hex = QString(text).remove(u'-');
    if (hex.size() != 32) return false;
    static const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    guid_bytes g{};
    for (int i = 0; i < 16; ++i) {
        bool ok = false;
        const uint32_t v = hex.mid(2 * i, 2).toUInt(&ok, 16);
        if (!ok) return false;
        g[size_t(order[i])] = uint8_t(v);
    }
    *out = g;
    return true;
}

guid_bytes new_guid() {
    guid_bytes g{};
    guid_from_text(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(), &g);
    return g;
}

QString gpt_type_for(const QString& fs_name, bool efi) {
    const QString f = fs_name.toLower();
    if (f.startsWith(QLatin1String("fat")))
        return QLatin1String(efi ? gpt_type_efi_system : gpt_type_basic_data);
    if (f == QLatin1String("ntfs") || f == QLatin1String("exfat")) return QLatin1String(gpt_type_basic_data);
    if (f == QLatin1String("swap")) return QLatin1String(gpt_type_linux_swap);
    if (f.startsWith(QLatin1String("luks"))) return QLatin1String(gpt_type_linux_luks);
    if (f.startsWith(QLatin1String("lvm"))) return QLatin1String(gpt_type_linux_lvm);
    if (f.startsWith(QLatin1String("ext")) || f == QLatin1String("btrfs") || f == QLatin1String("xfs"))
        return QLatin1String(gpt_type_linux_data);
    return {};
}

bool fat_volume_has_efi(device_handle& dev, uint64_t first) {
    uint8_t b[sector];
    if (!dev.read_exact(first * sector, b, sizeof b)) return false;
    const byte_view bs(b, sizeof b);
    const uint32_t bps = bs.le16(bpb_bytes_per_sector), spc = bs.u8(bpb_sectors_per_cluster);
    const uint32_t reserved = bs.le16(bpb_reserved), fats = bs.u8(bpb_fat_count);
    const uint32_t root_entries = bs.le16(bpb_root_entries);
    const uint32_t fat_size = bs.le16(bpb_fat_size16) ? bs.le16(bpb_fat_size16) : bs.le32(bpb_fat_size32);
    if (bps < 512 || bps > 4096 || (bps & (bps - 1)) || spc == 0 || (spc & (spc - 1)) || fats == 0 || fat_size == 0)
        return false;
    const uint64_t root_dir_sectors = (uint64_t(root_entries) * dirent_bytes + bps - 1) / bps;
    const uint64_t data_start = reserved + uint64_t(fats) * fat_size + root_dir_sectors;  // in volume sectors
    uint64_t root_at = 0, root_bytes = 0;
    if (root_entries == 0) {  // FAT32: the root is a cluster chain; its first cluster is enough
        const uint32_t cluster = bs.le32(bpb_root_cluster);
        if (cluster < 2) return false;
        root_at = (data_start + uint64_t(cluster - 2) * spc) * bps;
        root_bytes = uint64_t(spc) * bps;
    } else {
        root_at = (reserved + uint64_t(fats) * fat_size) * bps;
        root_bytes = root_dir_sectors * bps;
    }
    root_bytes = std::min<uint64_t>(root_bytes, max_root_read);
    std::vector<uint8_t> dir(root_bytes);
    if (!dev.read_exact(first * sector + root_at, dir.data(), dir.size())) return false;
    for (size_t at = 0; at + dirent_bytes <= dir.size(); at += dirent_bytes) {
        const uint8_t* e = dir.data() + at;
        if (e[0] == 0) break;
        if (e[0] == 0xE5 || e[dirent_attr] == attr_long_name) continue;
        if ((e[dirent_attr] & attr_directory) && std::equal(e, e + 11, "EFI        ")) return true;
    }
    return false;
}

QString gpt_write_refusal(const disk_table& table, const QString& drive_path) {
    if (table.mbr_listed == 0) return {};
    return QStringLiteral("%1 has a valid MBR listing %2 partition(s); a GPT written over it would replace that "
                          "table. Nothing written; --force writes it anyway")
        .arg(drive_path)
        .arg(table.mbr_listed);
}

int plan_gpt_repair(device_handle& dev, const disk_table& table, const QString& drive_path, gpt_plan* plan,
                    QString* error) {
    auto fail = [&](const QString& text) {
        if (error) *error = text;
        return -1;
    };
    const bool primary_good = table.primary.state == gpt_copy_state::good;
    const bool backup_good = table.backup.state == gpt_copy_state::good;
    if (primary_good && backup_good) return fail(QStringLiteral("%1 has a valid GPT with both copies good; nothing to repair").arg(drive_path));
    if (!primary_good && !backup_good) return fail(QStringLiteral("no good GPT copy to repair from"));
    const gpt_copy& good = primary_good ? table.primary : table.backup;
    const uint64_t n = table.disk_sectors;
    if (n != dev.length() / sector) return fail(QStringLiteral("the drive changed size since its table was read"));

    // The reader checked these; they are checked again before anything is sized from them.
    const uint64_t array_bytes = uint64_t(good.entry_count) * good.entry_bytes;
    if (good.entry_count == 0 || good.entry_bytes < gpt_entry_min_bytes || array_bytes > max_array_bytes ||
        good.entries_lba == 0 || good.entries_lba >= n || sectors_for(array_bytes) > n - good.entries_lba)
        return fail(QStringLiteral("the good copy's entry array does not fit the disk"));
    std::vector<uint8_t> entries(array_bytes);
    if (!dev.read_exact(good.entries_lba * sector, entries.data(), entries.size()))
        return fail(QStringLiteral("cannot read the good copy's entry array"));
    const uint64_t array_sectors = sectors_for(array_bytes);

    gpt_plan out;
    out.drive = drive_path;
    out.disk_sectors = n;
    out.disk_guid = good.disk_guid;
    out.partitions = good.partitions;
    header_fields f;
    f.first_usable = good.first_usable;
    f.last_usable = good.last_usable;
    f.disk_guid = good.disk_guid;
    f.entry_count = good.entry_count;
    f.entry_bytes = good.entry_bytes;
    f.entries_crc = crc32_of(entries.data(), entries.size());
    const QString arr_why = QStringLiteral("%1 entry array (%2 entries of %3 bytes, CRC %4)")
                                .arg(primary_good ? QStringLiteral("backup") : QStringLiteral("primary"))
                                .arg(f.entry_count)
                                .arg(f.entry_bytes)
                                .arg(f.entries_crc, 8, 16, QLatin1Char('0'));
    if (!primary_good) {
        out.kind = gpt_plan_kind::repair_primary;
        f.my_lba = gpt_header_lba;
        f.alternate = n - 1;
        f.entries_lba = gpt_header_lba + 1;
        if (f.entries_lba + array_sectors > f.first_usable)
            return fail(QStringLiteral("the primary entry array would overlap the first usable sector %1").arg(f.first_usable));
        if (first_sector_is_free(dev))
            out.writes.push_back({0, protective_mbr(n), QStringLiteral("protective MBR")});
        out.writes.push_back({gpt_header_lba, make_header(f), {}});
        out.writes.push_back({f.entries_lba, padded(entries), arr_why});
    } else {
        out.kind = gpt_plan_kind::repair_backup;
        f.my_lba = n - 1;
        f.alternate = gpt_header_lba;
        if (array_sectors >= n - 1 - f.last_usable)
            return fail(QStringLiteral("the backup entry array would overlap the last usable sector %1").arg(f.last_usable));
        f.entries_lba = n - 1 - array_sectors;
        out.writes.push_back({f.entries_lba, padded(entries), arr_why});
        out.writes.push_back({n - 1, make_header(f), {}});
    }
    for (gpt_write& w : out.writes)
        if (w.why.isEmpty())
            w.why = QStringLiteral("%1 header (own LBA %2, other copy at LBA %3, entries at LBA %4, header CRC %5)")
                        .arg(primary_good ? QStringLiteral("backup") : QStringLiteral("primary"))
                        .arg(f.my_lba)
                        .arg(f.alternate)
                        .arg(f.entries_lba)
                        .arg(byte_view(w.bytes.data(), w.bytes.size()).le32(hdr_crc_at), 8, 16, QLatin1Char('0'));
    QString settle_error;
    if (settle_saved(dev, &out, &settle_error) != 0) return fail(settle_error);
    *plan = std::move(out);
    return 0;
}

int plan_gpt_rebuild(device_handle& dev, const QList<partition_item_s>& found, const QString& drive_path,
                     gpt_plan* plan, QString* error) {
    auto fail = [&](const QString& text) {
        if (error) *error = text;
        return -1;
    };
    const uint64_t n = dev.length() / sector;
    if (n < gpt_saved_head_sectors + gpt_saved_tail_sectors + 1)
        return fail(QStringLiteral("the disk is too small for a GPT (%1 sectors)").arg(n));
    gpt_plan out;
    out.kind = gpt_plan_kind::rebuild;
    out.drive = drive_path;
    out.disk_sectors = n;
    out.disk_guid = new_guid();
    header_fields f;
    f.first_usable = gpt_saved_head_sectors;
    f.last_usable = n - 1 - gpt_saved_tail_sectors;
    f.disk_guid = out.disk_guid;
    f.entry_count = gpt_new_entry_count;
    f.entry_bytes = gpt_new_entry_bytes;

    QList<partition_item_s> sorted = found;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const partition_item_s& a, const partition_item_s& b) { return a.start_sector < b.start_sector; });
    std::vector<uint8_t> entries(size_t(f.entry_count) * f.entry_bytes, 0);
    for (const partition_item_s& p : sorted) {
        const QString what = QStringLiteral("%1 at sectors %2-%3").arg(p.fs_name.isEmpty() ? QStringLiteral("?") : p.fs_name)
                                 .arg(p.start_sector).arg(p.end_sector);
        if (p.end_sector < p.start_sector || p.start_sector < f.first_usable || p.end_sector > f.last_usable) {
            out.left_out << what + QStringLiteral(": outside the usable area %1-%2").arg(f.first_usable).arg(f.last_usable);
            continue;
        }
        if (!out.partitions.empty() && p.start_sector <= out.partitions.back().last) {
            out.left_out << what + QStringLiteral(": overlaps the partition before it");
            continue;
        }
        if (out.partitions.size() == f.entry_count) {
            out.left_out << what + QStringLiteral(": no entry left");
            continue;
        }
        listed_partition lp;
        lp.first = p.start_sector;
        lp.last = p.end_sector;
        const QString f_name = p.fs_name.toLower();
        const bool efi = f_name.startsWith(QLatin1String("fat")) && fat_volume_has_efi(dev, p.start_sector);
        QString type = gpt_type_for(p.fs_name, efi);
        if (type.isEmpty()) type = QLatin1String(gpt_type_linux_data);
        guid_from_text(type, &lp.type_guid);
        lp.unique_guid = new_guid();
        // FAT's placeholder for "no label" does not name a partition.
        if (p.label.trimmed() != QLatin1String("NO NAME")) lp.name = p.label.left(int(ent_name_units));
        uint8_t* e = entries.data() + out.partitions.size() * f.entry_bytes;
        std::copy(lp.type_guid.begin(), lp.type_guid.end(), e + ent_type_at);
        std::copy(lp.unique_guid.begin(), lp.unique_guid.end(), e + ent_unique_at);
        put_le64(e + ent_first_at, lp.first);
        put_le64(e + ent_last_at, lp.last);
        for (qsizetype i = 0; i < lp.name.size(); ++i) put_le16(e + ent_name_at + 2 * size_t(i), lp.name[i].unicode());
        out.partitions.push_back(lp);
    }
    if (out.partitions.empty())
        return fail(out.left_out.isEmpty() ? QStringLiteral("no partition was found to put in a new GPT")
                                           : QStringLiteral("no found partition fits a GPT: %1").arg(out.left_out.join(QStringLiteral("; "))));
    f.entries_crc = crc32_of(entries.data(), entries.size());
    const QString arr = QStringLiteral("%1 entries of %2 bytes, CRC %3")
                            .arg(f.entry_count).arg(f.entry_bytes).arg(f.entries_crc, 8, 16, QLatin1Char('0'));

    header_fields primary = f, backup = f;
    primary.my_lba = gpt_header_lba;
    primary.alternate = n - 1;
    primary.entries_lba = gpt_header_lba + 1;
    backup.my_lba = n - 1;
    backup.alternate = gpt_header_lba;
    backup.entries_lba = n - 1 - gpt_new_array_sectors;
    auto header_why = [](const char* which, const header_fields& h, const std::vector<uint8_t>& bytes) {
        return QStringLiteral("%1 header (own LBA %2, other copy at LBA %3, entries at LBA %4, header CRC %5)")
            .arg(QLatin1String(which)).arg(h.my_lba).arg(h.alternate).arg(h.entries_lba)
            .arg(byte_view(bytes.data(), bytes.size()).le32(hdr_crc_at), 8, 16, QLatin1Char('0'));
    };
    const std::vector<uint8_t> ph = make_header(primary), bh = make_header(backup);
    out.writes.push_back({0, protective_mbr(n), QStringLiteral("protective MBR")});
    out.writes.push_back({gpt_header_lba, ph, header_why("primary", primary, ph)});
    out.writes.push_back({primary.entries_lba, entries, QStringLiteral("primary entry array (%1)").arg(arr)});
    out.writes.push_back({backup.entries_lba, entries, QStringLiteral("backup entry array (%1)").arg(arr)});
    out.writes.push_back({n - 1, bh, header_why("backup", backup, bh)});
    QString settle_error;
    if (settle_saved(dev, &out, &settle_error) != 0) return fail(settle_error);
    *plan = std::move(out);
    return 0;
}

int plan_gpt(device_handle& dev, const disk_table& table, const QList<partition_item_s>& found,
             const QString& drive_path, gpt_plan* plan, QString* error) {
    const bool primary_good = table.primary.state == gpt_copy_state::good;
    const bool backup_good = table.backup.state == gpt_copy_state::good;
    if (primary_good != backup_good) return plan_gpt_repair(dev, table, drive_path, plan, error);
    if (primary_good) {
        if (!first_sector_is_free(dev) || table.disk_sectors != dev.length() / sector) {
            if (error) *error = QStringLiteral("%1 has a valid GPT with both copies good; nothing to repair").arg(drive_path);
            return -1;
        }
        gpt_plan out;
        out.kind = gpt_plan_kind::protective_mbr;
        out.drive = drive_path;
        out.disk_sectors = table.disk_sectors;
        out.disk_guid = table.primary.disk_guid;
        out.partitions = table.primary.partitions;
        out.writes.push_back({0, protective_mbr(out.disk_sectors), QStringLiteral("protective MBR (sector 0 holds none)")});
        QString settle_error;
        if (settle_saved(dev, &out, &settle_error) != 0) {
            if (error) *error = settle_error;
            return -1;
        }
        *plan = std::move(out);
        return 0;
    }
    return plan_gpt_rebuild(dev, found, drive_path, plan, error);
}

QString describe_gpt_plan(const gpt_plan& plan) {
    QString out;
    switch (plan.kind) {
    case gpt_plan_kind::repair_primary:
        out = QStringLiteral("GPT repair of %1: the primary copy rewritten from the good backup").arg(plan.drive);
        break;
    case gpt_plan_kind::repair_backup:
        out = QStringLiteral("GPT repair of %1: the backup copy rewritten from the good primary").arg(plan.drive);
        break;
    case gpt_plan_kind::rebuild:
        out = QStringLiteral("new GPT for %1 from the partitions found (both copies gone)").arg(plan.drive);
        break;
    case gpt_plan_kind::protective_mbr:
        out = QStringLiteral("GPT repair of %1: both copies good, the protective MBR written again").arg(plan.drive);
        break;
    case gpt_plan_kind::none: return QStringLiteral("no GPT change planned");
    }
    out += QStringLiteral("\n  disk GUID %1, %2 sectors").arg(guid_text(plan.disk_guid)).arg(plan.disk_sectors);
    for (const gpt_write& w : plan.writes)
        out += QStringLiteral("\n  write %1: %2").arg(range_text(w.lba, w.bytes.size() / sector), w.why);
    for (size_t i = 0; i < plan.partitions.size(); ++i) {
        const listed_partition& p = plan.partitions[i];
        out += QStringLiteral("\n  partition %1: sectors %2-%3, type %4, GUID %5%6")
                   .arg(i + 1)
                   .arg(p.first)
                   .arg(p.last)
                   .arg(guid_text(p.type_guid), guid_text(p.unique_guid),
                        p.name.isEmpty() ? QString() : QStringLiteral(", name \"%1\"").arg(p.name));
    }
    for (const QString& l : plan.left_out) out += QStringLiteral("\n  left out: %1").arg(l);
    QStringList saved;
    for (const sector_range& r : plan.saved) saved << range_text(r.lba, r.count);
    out += QStringLiteral("\n  saved first, with the drive's identity: %1").arg(saved.join(QStringLiteral(" and ")));
    return out;
}

}  // namespace qv::partition
