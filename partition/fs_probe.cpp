#include "partition/fs_probe.hpp"

#include <QCryptographicHash>

#include <zlib.h>

#include <cstring>
#include <vector>

#include "devices/device_handle.hpp"
#include "exfat/exfat_layout.hpp"
#include "fat/fat_layout.hpp"
#include "ntfsscan/mft_record.hpp"
#include "ntfsscan/ntfs_layout.hpp"
#include "partition/boot_sector_tests.hpp"
#include "devices/crc32c.hpp"

namespace qv::partition {
namespace {

constexpr uint64_t kib = 1024;

// ext2/3/4 superblock (at byte 1024 of the volume, copies at the start of some groups).
constexpr uint64_t ext_super_offset = 1024;
constexpr size_t ext_inodes_count = 0x00;
constexpr size_t ext_blocks_lo = 0x04;
constexpr size_t ext_first_data_block = 0x14;
constexpr size_t ext_log_block_size = 0x18;
constexpr size_t ext_blocks_per_group = 0x20;
constexpr size_t ext_inodes_per_group = 0x28;
constexpr size_t ext_magic = 0x38;
constexpr size_t ext_block_group_nr = 0x5A;
constexpr size_t ext_feature_compat = 0x5C;
constexpr size_t ext_feature_incompat = 0x60;
constexpr size_t ext_feature_ro_compat = 0x64;
constexpr size_t ext_volume_name = 0x78;
constexpr size_t ext_blocks_hi = 0x150;
constexpr size_t ext_checksum_type = 0x175;
constexpr size_t ext_checksum = 0x3FC;
constexpr uint16_t ext_magic_value = 0xEF53;
constexpr uint32_t ext_compat_journal = 0x4;
constexpr uint32_t ext_incompat_extents = 0x40;
constexpr uint32_t ext_incompat_64bit = 0x80;
constexpr uint32_t ext_incompat_flex_bg = 0x200;
constexpr uint32_t ext_ro_compat_metadata_csum = 0x400;

// btrfs superblock (64 KiB, copies at 64 MiB and 256 GiB).
constexpr uint64_t btrfs_super_offsets[] = {64 * kib, 64 * kib * kib, 256 * kib * kib * kib};
constexpr size_t btrfs_super_bytes = 4096;
constexpr size_t btrfs_csum = 0x00;
constexpr size_t btrfs_csummed_from = 0x20;
constexpr size_t btrfs_bytenr = 0x30;
constexpr size_t btrfs_magic = 0x40;
constexpr size_t btrfs_sectorsize = 0x90;
constexpr size_t btrfs_csum_type = 0xC4;
constexpr size_t btrfs_dev_total_bytes = 0xC9 + 8;  // dev_item: devid, then total_bytes
constexpr size_t btrfs_label = 0x12B;
constexpr size_t btrfs_label_bytes = 256;

// XFS superblock (sector 0, big-endian).
constexpr size_t xfs_blocksize = 4;
constexpr size_t xfs_dblocks = 8;
constexpr size_t xfs_versionnum = 100;
constexpr size_t xfs_sectsize = 102;
constexpr size_t xfs_fname = 108;
constexpr size_t xfs_crc = 224;

// Linux swap: the signature ends the first 4 KiB page.
constexpr size_t swap_page = 4096;
constexpr size_t swap_magic = swap_page - 10;
constexpr size_t swap_version = 1024;
constexpr size_t swap_last_page = 1028;
constexpr size_t swap_label = 1052;

// LUKS (big-endian).
constexpr size_t luks_version = 6;
constexpr size_t luks1_payload_offset = 104;
constexpr size_t luks2_hdr_size = 8;
constexpr size_t luks2_label = 24;
constexpr size_t luks2_checksum_alg = 72;
constexpr size_t luks2_csum = 448;
constexpr size_t luks2_csum_bytes = 64;

// LVM2 label, in one of the first four sectors.
constexpr size_t lvm_label_sector = 8;
constexpr size_t lvm_label_crc = 16;
constexpr size_t lvm_label_offset = 20;
constexpr size_t lvm_label_type = 24;
constexpr uint32_t lvm_crc_seed = 0xf597a6cf;
constexpr size_t lvm_pv_uuid_bytes = 32;

// HFS+ volume header (byte 1024, big-endian).
constexpr uint64_t hfs_header_offset = 1024;
constexpr size_t hfs_version = 2;
constexpr size_t hfs_block_size = 40;
constexpr size_t hfs_total_blocks = 44;

// ISO 9660 primary volume descriptor (byte 32768).
constexpr uint64_t iso_descriptor_offset = 32 * kib;
constexpr size_t iso_volume_id = 40;
constexpr size_t iso_space_le = 80;
constexpr size_t iso_space_be = 84;
constexpr size_t iso_block_le = 128;
constexpr size_t iso_block_be = 130;

// NTFS boot sector fields used to find the MFT.
constexpr size_t ntfs_bytes_per_sector = 0x0B;
constexpr size_t ntfs_sectors_per_cluster = 0x0D;
constexpr size_t ntfs_total_sectors = 0x28;
constexpr size_t ntfs_mft_cluster = 0x30;

uint16_t be16(byte_view b, size_t at) { return b.has(at, 2) ? uint16_t(b.u8(at) << 8 | b.u8(at + 1)) : 0; }
uint32_t be32(byte_view b, size_t at) { return b.has(at, 4) ? uint32_t(be16(b, at)) << 16 | be16(b, at + 2) : 0; }
uint64_t be64(byte_view b, size_t at) { return b.has(at, 8) ? uint64_t(be32(b, at)) << 32 | be32(b, at + 4) : 0; }

bool power_of_two(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// Printable text of a fixed field, trimmed: stops at the first NUL.
QString field_text(byte_view b, size_t at, size_t len, bool utf8 = true) {
    const byte_view f = b.sub(at, len);
    size_t n = 0;
    while (n < f.size() && f.u8(n) != 0) ++n;
    const char* p = reinterpret_cast<const char*>(f.data());
    return (utf8 ? QString::fromUtf8(p, qsizetype(n)) : QString::fromLatin1(p, qsizetype(n))).trimmed();
}

std::vector<uint8_t> read_bytes(device_handle& dev, uint64_t byte_offset, size_t len) {
    std::vector<uint8_t> buf(len);
    const int64_t n = dev.read_at(byte_offset, buf.data(), len);
    buf.resize(n > 0 ? size_t(n) : 0);
    return buf;
}

// Sectors from bytes, 0 when the count does not fit.
uint64_t sectors_of(uint64_t units, uint64_t unit_bytes) {
    if (unit_bytes == 0 || units > UINT64_MAX / unit_bytes) return 0;
    return units * unit_bytes / sector_bytes;
}

fs_found found(fs_kind kind, uint64_t start, uint64_t sectors, QString label = {}) {
    fs_found f;
    f.kind = kind;
    f.start = start;
    f.sectors = sectors;
    f.label = std::move(label);
    return f;
}

// ext2/3/4: a superblock whose fields hold together and, with
// metadata_csum, whose CRC32C matches. A backup copy names a group other than 0.
fs_found check_ext(byte_view sb, uint64_t start, bool backup) {
    if (sb.size() < 1024 || sb.le16(ext_magic) != ext_magic_value) return {};
    const uint32_t log = sb.le32(ext_log_block_size);
    if (log > 6) return {};
    const uint64_t bs = 1024ull << log;
    const uint32_t per_group = sb.le32(ext_blocks_per_group);
    if (sb.le32(ext_inodes_count) == 0 || sb.le32(ext_inodes_per_group) == 0 || per_group == 0 || per_group > 8 * bs)
        return {};
    if (sb.le32(ext_first_data_block) != (bs == 1024 ? 1u : 0u)) return {};
    if ((sb.le16(ext_block_group_nr) != 0) != backup) return {};  // the primary is group 0, a copy names its group
    const uint32_t incompat = sb.le32(ext_feature_incompat);
    const uint32_t ro_compat = sb.le32(ext_feature_ro_compat);
    if (ro_compat & ext_ro_compat_metadata_csum) {
        if (sb.u8(ext_checksum_type) != 1) return {};
        if (crc32c(~0u, sb.data(), ext_checksum) != sb.le32(ext_checksum)) return {};
    }
    uint64_t blocks = sb.le32(ext_blocks_lo);
    if (incompat & ext_incompat_64bit) blocks |= uint64_t(sb.le32(ext_blocks_hi)) << 32;
    const uint64_t sectors = sectors_of(blocks, bs);
    if (sectors == 0) return {};
    fs_kind kind = fs_kind::ext2;
    if ((incompat & (ext_incompat_extents | ext_incompat_64bit | ext_incompat_flex_bg)) ||
        (ro_compat & ext_ro_compat_metadata_csum))
        kind = fs_kind::ext4;
    else if (sb.le32(ext_feature_compat) & ext_compat_journal)
        kind = fs_kind::ext3;
    return found(kind, start, sectors, field_text(sb, ext_volume_name, 16));
}

fs_found check_btrfs(byte_view sb, uint64_t start) {
    if (sb.size() < btrfs_super_bytes || !sb.equals(btrfs_magic, "_BHRfS_M")) return {};
    if (sb.le16(btrfs_csum_type) == 0 &&
        crc32c_of(sb.data() + btrfs_csummed_from, btrfs_super_bytes - btrfs_csummed_from) != sb.le32(btrfs_csum))
        return {};
    const uint32_t sectorsize = sb.le32(btrfs_sectorsize);
    if (!power_of_two(sectorsize) || sectorsize < 512 || sectorsize > 65536) return {};
    const uint64_t sectors = sb.le64(btrfs_dev_total_bytes) / sector_bytes;
    if (sectors == 0) return {};
    return found(fs_kind::btrfs, start, sectors, field_text(sb, btrfs_label, btrfs_label_bytes));
}

fs_found check_xfs(byte_view sb, uint64_t start) {
    if (!sb.equals(0, "XFSB")) return {};
    const uint32_t bs = be32(sb, xfs_blocksize);
    const uint16_t sectsize = be16(sb, xfs_sectsize);
    if (!power_of_two(bs) || bs < 512 || bs > 65536 || !power_of_two(sectsize) || sectsize < 512 || sectsize > 32768)
        return {};
    if ((be16(sb, xfs_versionnum) & 0xF) == 5) {
        if (!sb.has(0, sectsize)) return {};
        std::vector<uint8_t> copy(sb.data(), sb.data() + sectsize);
        put_le32(copy.data() + xfs_crc, 0);
        if (crc32c_of(copy.data(), copy.size()) != sb.le32(xfs_crc)) return {};
    }
    const uint64_t sectors = sectors_of(be64(sb, xfs_dblocks), bs);
    if (sectors == 0) return {};
    return found(fs_kind::xfs, start, sectors, field_text(sb, xfs_fname, 12));
}

fs_found check_swap(byte_view page, uint64_t start) {
    if (!page.equals(swap_magic, "SWAPSPACE2") || page.le32(swap_version) != 1) return {};
    const uint32_t last = page.le32(swap_last_page);
    if (last == 0) return {};
    return found(fs_kind::swap, start, sectors_of(uint64_t(last) + 1, swap_page), field_text(page, swap_label, 16));
}

fs_found check_luks(device_handle& dev, byte_view h, uint64_t start) {
    static const uint8_t magic[6] = {'L', 'U', 'K', 'S', 0xBA, 0xBE};
    if (!h.equals(0, std::span<const uint8_t>(magic, 6))) return {};
    const uint16_t version = be16(h, luks_version);
    if (version == 1) {
        if (be32(h, luks1_payload_offset) == 0) return {};
        return found(fs_kind::luks1, start, 0);
    }
    if (version != 2) return {};
    const uint64_t hdr = be64(h, luks2_hdr_size);
    if (!power_of_two(hdr) || hdr < 16 * kib || hdr > 4 * kib * kib) return {};
    if (field_text(h, luks2_checksum_alg, 32, false) == QLatin1String("sha256")) {
        std::vector<uint8_t> all = read_bytes(dev, start * sector_bytes, size_t(hdr));
        if (all.size() != hdr) return {};
        QByteArray stored(reinterpret_cast<const char*>(all.data() + luks2_csum), 32);
        std::fill_n(all.begin() + luks2_csum, luks2_csum_bytes, uint8_t(0));
        const QByteArray sum = QCryptographicHash::hash(
            QByteArrayView(reinterpret_cast<const char*>(all.data()), qsizetype(all.size())), QCryptographicHash::Sha256);
        if (sum != stored) return {};
    }
    return found(fs_kind::luks2, start, 0, field_text(h, luks2_label, 48));
}

fs_found check_lvm(byte_view label, uint64_t start, uint64_t index) {
    if (!label.equals(0, "LABELONE") || label.le64(lvm_label_sector) != index || !label.equals(lvm_label_type, "LVM2 001"))
        return {};
    // LVM's CRC: the zlib polynomial seeded with its own value and no inversion.
    const uint32_t crc = ~uint32_t(crc32(~uLong(lvm_crc_seed) & 0xFFFFFFFFu, label.data() + lvm_label_offset,
                                         uInt(sector_bytes - lvm_label_offset)));
    if (crc != label.le32(lvm_label_crc)) return {};
    const uint32_t pv = label.le32(lvm_label_offset);
    const uint64_t device_size = label.le64(size_t(pv) + lvm_pv_uuid_bytes);
    return found(fs_kind::lvm2, start, device_size / sector_bytes);
}

fs_found check_hfsplus(byte_view vh, uint64_t start) {
    const uint16_t sig = be16(vh, 0), version = be16(vh, hfs_version);
    if (!((sig == 0x482B && version == 4) || (sig == 0x4858 && version == 5))) return {};
    const uint32_t bs = be32(vh, hfs_block_size);
    if (!power_of_two(bs) || bs < 512) return {};
    const uint64_t sectors = sectors_of(be32(vh, hfs_total_blocks), bs);
    if (sectors == 0) return {};
    return found(fs_kind::hfsplus, start, sectors);
}

fs_found check_iso(byte_view d, uint64_t start) {
    if (d.u8(0) != 1 || !d.equals(1, "CD001") || d.u8(6) != 1) return {};
    const uint32_t space = d.le32(iso_space_le);
    const uint16_t block = d.le16(iso_block_le);
    if (space != be32(d, iso_space_be) || block != be16(d, iso_block_be) || !power_of_two(block) || block < 512)
        return {};
    const uint64_t sectors = sectors_of(space, block);
    if (sectors == 0) return {};
    return found(fs_kind::iso9660, start, sectors, field_text(d, iso_volume_id, 32, false));
}

// FAT12 and FAT16: a parameter block with a root directory, its type
// decided by the cluster count as the format defines it.
fs_found check_fat16(byte_view bs, uint64_t start) {
    if (bs.u8(fat::bs_signature) != 0x55 || bs.u8(fat::bs_signature + 1) != 0xAA) return {};
    const uint32_t bps = bs.le16(fat::bpb_bytes_per_sector);
    const uint32_t spc = bs.u8(fat::bpb_sectors_per_cluster);
    const uint32_t reserved = bs.le16(fat::bpb_reserved_sectors);
    const uint32_t fats = bs.u8(fat::bpb_fat_count);
    const uint32_t root = bs.le16(fat::bpb_root_entries);
    const uint32_t per_fat = bs.le16(fat::bpb_sectors_per_fat16);
    const uint32_t media = bs.u8(fat::bpb_media);
    uint64_t total = bs.le16(fat::bpb_total_sectors16);
    if (total == 0) total = bs.le32(fat::bpb_total_sectors32);
    if (bps < 512 || bps > 4096 || !power_of_two(bps) || !power_of_two(spc) || reserved == 0 || fats == 0 ||
        fats > 2 || root == 0 || per_fat == 0 || !(media == 0xF0 || media >= 0xF8))
        return {};
    const uint64_t root_sectors = (uint64_t(root) * 32 + bps - 1) / bps;
    const uint64_t meta = reserved + uint64_t(fats) * per_fat + root_sectors;
    if (total <= meta) return {};
    const uint64_t clusters = (total - meta) / spc;
    if (clusters >= 65525) return {};
    const bool extended = bs.u8(38) == 0x29;  // extended boot signature: label present
    return found(clusters < 4085 ? fs_kind::fat12 : fs_kind::fat16, start, sectors_of(total, bps),
                 extended ? field_text(bs, 43, 11, false) : QString());
}

// NTFS keeps a copy of its boot sector in the sector after its counted
// ones. A boot sector whose MFT is not where it says, but is where it would
// be were this sector the copy, is the copy of a volume whose start is gone.
bool ntfs_mft_at(device_handle& dev, byte_view boot, uint64_t start) {
    const uint64_t bps = boot.le16(ntfs_bytes_per_sector), spc = boot.u8(ntfs_sectors_per_cluster);
    const uint64_t lcn = boot.le64(ntfs_mft_cluster);
    if (bps < 512 || spc == 0 || lcn > (UINT64_MAX / 2) / (bps * spc)) return false;
    const uint64_t at = start * sector_bytes + lcn * spc * bps;
    char magic[4] = {};
    return dev.read_exact(at, magic, 4) && std::memcmp(magic, "FILE", 4) == 0;
}

// UTF-16LE text of n units, up to the first zero unit.
QString utf16_text(byte_view b, size_t units) {
    QString text;
    for (size_t i = 0; i < units && b.has(2 * i, 2); ++i) {
        const uint16_t u = b.le16(2 * i);
        if (u == 0) break;
        text.append(QChar(u));
    }
    return text.trimmed();
}

// An NTFS volume's name: the $VOLUME_NAME attribute of MFT record 3 ($Volume).
QString ntfs_label(device_handle& dev, byte_view boot, uint64_t start) {
    constexpr uint64_t volume_record = 3;
    constexpr uint32_t type_volume_name = 0x60;
    constexpr size_t max_record = 4096;
    const uint64_t bps = boot.le16(ntfs::boot::bytes_per_sector), spc = boot.u8(ntfs::boot::sectors_per_cluster);
    const uint64_t lcn = boot.le64(ntfs::boot::mft_lcn);
    const int8_t per_record = int8_t(boot.u8(ntfs::boot::clusters_per_record));
    if (bps < 512 || bps > 4096 || spc == 0 || lcn > (UINT64_MAX / 4) / (bps * spc)) return {};
    const uint64_t record_size = per_record < 0 ? (-per_record < 31 ? uint64_t(1) << -per_record : 0) : uint64_t(per_record) * spc * bps;
    if (record_size < 512 || record_size > max_record) return {};
    std::vector<uint8_t> rec = read_bytes(dev, start * sector_bytes + lcn * spc * bps + volume_record * record_size, size_t(record_size));
    if (rec.size() != record_size || !ntfs::apply_fixups(rec.data(), rec.size())) return {};
    const byte_view record(rec.data(), rec.size());
    ntfs::record_header header;
    if (!ntfs::read_record_header(record, header)) return {};
    ntfs::attribute_cursor cursor(record, header);
    ntfs::attribute a;
    while (cursor.next(a))
        if (a.type == type_volume_name && !a.non_resident) {
            const byte_view v = a.resident_value();
            return utf16_text(v, v.size() / 2);
        }
    return {};
}

// An exFAT volume's label: the label entry among the root folder's first entries.
QString exfat_label(device_handle& dev, byte_view boot, uint64_t start) {
    namespace b = exfat::boot;
    namespace e = exfat::entry;
    constexpr size_t read_at_most = 64 * 1024;
    const uint32_t sector_shift = boot.u8(b::sector_shift), cluster_shift = boot.u8(b::cluster_shift);
    const uint32_t root = boot.le32(b::root_cluster);
    if (sector_shift < exfat::boot::min_sector_shift || sector_shift > exfat::boot::max_sector_shift ||
        sector_shift + cluster_shift > exfat::boot::max_cluster_bytes_shift || root < exfat::fat::first_cluster)
        return {};
    const uint64_t cluster_bytes = uint64_t(1) << (sector_shift + cluster_shift);
    const uint64_t at = start * sector_bytes + (uint64_t(boot.le32(b::heap_offset)) << sector_shift) +
                        uint64_t(root - exfat::fat::first_cluster) * cluster_bytes;
    const std::vector<uint8_t> dir = read_bytes(dev, at, size_t(std::min<uint64_t>(cluster_bytes, read_at_most)));
    const byte_view entries(dir.data(), dir.size());
    for (size_t off = 0; off + e::size <= entries.size(); off += e::size) {
        const uint8_t type = entries.u8(off + e::type);
        if (type == e::end_of_directory) break;
        if (type == e::volume_label) {
            const size_t units = std::min<size_t>(entries.u8(off + e::label_length), 11);
            return utf16_text(entries.sub(off + e::label_text, 22), units);
        }
    }
    return {};
}

fs_found check_boot_sector(device_handle& dev, uint64_t start, byte_view two_sectors) {
    const boot_candidate c = examine_boot_sector(two_sectors, 0);
    if (c.kind == boot_kind::none) return {};
    fs_kind kind = c.kind == boot_kind::ntfs ? fs_kind::ntfs : c.kind == boot_kind::exfat ? fs_kind::exfat : fs_kind::fat32;
    QString label;
    if (kind == fs_kind::fat32 && two_sectors.u8(66) == 0x29) label = field_text(two_sectors, 71, 11, false);
    fs_found f = found(kind, start, c.length, label);
    if (kind == fs_kind::ntfs && !ntfs_mft_at(dev, two_sectors, start)) {
        const uint64_t copy_of = two_sectors.le64(ntfs_total_sectors);
        if (copy_of <= start && ntfs_mft_at(dev, two_sectors, start - copy_of)) {
            f.start = start - copy_of;
            f.from_backup = true;
        }
    }
    if (kind == fs_kind::ntfs) f.label = ntfs_label(dev, two_sectors, f.start);
    if (kind == fs_kind::exfat) f.label = exfat_label(dev, two_sectors, f.start);
    return f;
}

}  // namespace

QString fs_kind_name(fs_kind kind) {
    switch (kind) {
    case fs_kind::ntfs: return QStringLiteral("NTFS");
    case fs_kind::exfat: return QStringLiteral("exFAT");
    case fs_kind::fat12: return QStringLiteral("FAT12");
    case fs_kind::fat16: return QStringLiteral("FAT16");
    case fs_kind::fat32: return QStringLiteral("FAT32");
    case fs_kind::ext2: return QStringLiteral("ext2");
    case fs_kind::ext3: return QStringLiteral("ext3");
    case fs_kind::ext4: return QStringLiteral("ext4");
    case fs_kind::btrfs: return QStringLiteral("btrfs");
    case fs_kind::xfs: return QStringLiteral("XFS");
    case fs_kind::swap: return QStringLiteral("swap");
    case fs_kind::luks1: return QStringLiteral("LUKS1");
    case fs_kind::luks2: return QStringLiteral("LUKS2");
    case fs_kind::lvm2: return QStringLiteral("LVM2");
    case fs_kind::hfsplus: return QStringLiteral("HFS+");
    case fs_kind::iso9660: return QStringLiteral("ISO9660");
    case fs_kind::none: break;
    }
    return {};
}

uint8_t fs_mbr_type(fs_kind kind, uint64_t sectors) {
    switch (kind) {
    case fs_kind::ntfs:
    case fs_kind::exfat: return 0x07;
    case fs_kind::fat32: return 0x0C;
    case fs_kind::fat16: return sectors < 65536 ? 0x04 : 0x0E;
    case fs_kind::fat12: return 0x01;
    case fs_kind::swap: return 0x82;
    case fs_kind::lvm2: return 0x8E;
    case fs_kind::hfsplus: return 0xAF;
    default: return 0x83;
    }
}

void hints_from_sector(byte_view s, uint64_t n, std::vector<fs_hint>* hints) {
    static const uint8_t luks_magic[6] = {'L', 'U', 'K', 'S', 0xBA, 0xBE};
    auto add = [&](fs_kind family, uint64_t back) {
        if (back <= n) hints->push_back({family, n - back, n});
    };
    if (s.le16(ext_magic) == ext_magic_value) {
        const uint32_t log = s.le32(ext_log_block_size);
        const uint16_t group = s.le16(ext_block_group_nr);
        if (group == 0) {
            add(fs_kind::ext4, ext_super_offset / sector_bytes);
        } else if (log <= 6) {
            // A copy sits at the start of block first_data_block + group * blocks_per_group.
            const uint64_t bs = 1024ull << log;
            const uint64_t block = uint64_t(s.le32(ext_first_data_block)) + uint64_t(group) * s.le32(ext_blocks_per_group);
            add(fs_kind::ext4, block * (bs / sector_bytes));
        }
    }
    if (s.equals(btrfs_magic, "_BHRfS_M")) {
        const uint64_t at = s.le64(btrfs_bytenr);
        for (uint64_t off : btrfs_super_offsets)
            if (at == off) add(fs_kind::btrfs, off / sector_bytes);
    }
    if (s.equals(0, "XFSB")) add(fs_kind::xfs, 0);
    if (s.equals(swap_magic % sector_bytes, "SWAPSPACE2")) add(fs_kind::swap, swap_magic / sector_bytes);
    if (s.equals(0, std::span<const uint8_t>(luks_magic, 6))) add(fs_kind::luks1, 0);
    if (s.equals(0, "LABELONE") && s.le64(lvm_label_sector) < 4) add(fs_kind::lvm2, s.le64(lvm_label_sector));
    if (s.u8(0) == 'H' && (s.u8(1) == '+' || s.u8(1) == 'X')) add(fs_kind::hfsplus, hfs_header_offset / sector_bytes);
    if (s.u8(0) == 1 && s.equals(1, "CD001")) add(fs_kind::iso9660, iso_descriptor_offset / sector_bytes);
}

fs_found verify_hint(device_handle& dev, const fs_hint& h) {
    const uint64_t super_byte = h.super_sector * sector_bytes;
    const uint64_t start_byte = h.start * sector_bytes;
    switch (h.family) {
    case fs_kind::ext4: {
        const bool backup = h.super_sector != h.start + ext_super_offset / sector_bytes;
        const auto sb = read_bytes(dev, super_byte, 1024);
        fs_found f = check_ext(byte_view(sb.data(), sb.size()), h.start, backup);
        f.from_backup = backup && f.kind != fs_kind::none;
        return f;
    }
    case fs_kind::btrfs: {
        const auto sb = read_bytes(dev, super_byte, btrfs_super_bytes);
        fs_found f = check_btrfs(byte_view(sb.data(), sb.size()), h.start);
        f.from_backup = f.kind != fs_kind::none && super_byte != start_byte + btrfs_super_offsets[0];
        return f;
    }
    case fs_kind::xfs: {
        const auto sb = read_bytes(dev, start_byte, 32 * kib);
        return check_xfs(byte_view(sb.data(), sb.size()), h.start);
    }
    case fs_kind::swap: {
        const auto page = read_bytes(dev, start_byte, swap_page);
        return check_swap(byte_view(page.data(), page.size()), h.start);
    }
    case fs_kind::luks1: {
        const auto hdr = read_bytes(dev, start_byte, sector_bytes);
        return check_luks(dev, byte_view(hdr.data(), hdr.size()), h.start);
    }
    case fs_kind::lvm2: {
        const auto label = read_bytes(dev, super_byte, sector_bytes);
        return check_lvm(byte_view(label.data(), label.size()), h.start, h.super_sector - h.start);
    }
    case fs_kind::hfsplus: {
        const auto vh = read_bytes(dev, super_byte, sector_bytes);
        return check_hfsplus(byte_view(vh.data(), vh.size()), h.start);
    }
    case fs_kind::iso9660: {
        const auto d = read_bytes(dev, super_byte, 2048);
        return check_iso(byte_view(d.data(), d.size()), h.start);
    }
    case fs_kind::fat16: {
        const auto bs = read_bytes(dev, start_byte, sector_bytes);
        return check_fat16(byte_view(bs.data(), bs.size()), h.start);
    }
    case fs_kind::ntfs: {
        const auto two = read_bytes(dev, start_byte, 2 * sector_bytes);
        return check_boot_sector(dev, h.start, byte_view(two.data(), two.size()));
    }
    default: return {};
    }
}

fs_found probe_file_system(device_handle& dev, uint64_t start) {
    const fs_hint tries[] = {
        {fs_kind::ntfs, start, start},  // NTFS, exFAT and FAT32 boot sectors
        {fs_kind::fat16, start, start},
        {fs_kind::ext4, start, start + ext_super_offset / sector_bytes},
        {fs_kind::btrfs, start, start + btrfs_super_offsets[0] / sector_bytes},
        {fs_kind::xfs, start, start},
        {fs_kind::swap, start, start},
        {fs_kind::luks1, start, start},
        {fs_kind::lvm2, start, start + 1},
        {fs_kind::hfsplus, start, start + hfs_header_offset / sector_bytes},
        {fs_kind::iso9660, start, start + iso_descriptor_offset / sector_bytes},
    };
    for (const fs_hint& h : tries) {
        fs_found f = verify_hint(dev, h);
        if (f.kind != fs_kind::none && f.start == start) return f;
    }
    return {};
}

}  // namespace qv::partition
