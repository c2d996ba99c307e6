#include "ext4/ext4_volume.hpp"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "devices/crc32c.hpp"
#include "ext4/ext4_layout.hpp"

namespace qv::ext4 {

namespace L = layout;

namespace {

constexpr uint32_t max_log_block_size = 6;  // 64 KiB blocks
constexpr uint32_t backup_block_sizes[] = {1024, 2048, 4096, 8192, 16384, 32768, 65536};
constexpr size_t max_visited_nodes = 1 << 20;

bool power_of_two(uint64_t v) { return v && !(v & (v - 1)); }

// Seconds with the two epoch bits of the extra field, where the inode has it.
int64_t inode_time(byte_view raw, size_t at, size_t extra_at, size_t extra_end) {
    int64_t t = int32_t(raw.le32(at));
    if (extra_at && raw.has(extra_at, 4) && extra_at + 4 <= extra_end)
        t += int64_t(raw.le32(extra_at) & 3) << 32;
    return t;
}

uint32_t inode_seed(const superblock_info& sb, uint32_t ino, uint32_t generation) {
    uint8_t le[8];  // the inode number, then its generation
    put_le32(le, ino);
    put_le32(le + 4, generation);
    return crc32c(sb.csum_seed, le, 8);
}

bool has_super(const superblock_info& sb, uint64_t g) {
    if (g <= 1 || !(sb.ro_compat & L::ro_compat_sparse_super)) return true;
    for (uint64_t base : {3u, 5u, 7u}) {
        uint64_t p = base;
        while (p < g) p *= base;
        if (p == g) return true;
    }
    return false;
}

}  // namespace

bool superblock_info::metadata_csum() const { return ro_compat & L::ro_compat_metadata_csum; }
bool superblock_info::has_filetype() const { return incompat & L::incompat_filetype; }
bool superblock_info::has_journal() const { return compat & L::compat_has_journal; }
bool superblock_info::is_64bit() const { return incompat & L::incompat_64bit; }
const char* superblock_info::kind() const {
    if (incompat & (L::incompat_extents | L::incompat_64bit | L::incompat_flex_bg | L::incompat_inline_data) ||
        metadata_csum())
        return "ext4";
    return has_journal() ? "ext3" : "ext2";
}


std::optional<superblock_info> parse_superblock(byte_view b, bool* checksum_ok) {
    if (checksum_ok) *checksum_ok = true;
    if (b.size() < L::superblock_size || b.le16(L::sb_magic) != L::magic) return std::nullopt;
    superblock_info sb;
    const uint32_t log = b.le32(L::sb_log_block_size);
    if (log > max_log_block_size) return std::nullopt;
    sb.block_size = 1024u << log;
    sb.compat = b.le32(L::sb_feature_compat);
    sb.incompat = b.le32(L::sb_feature_incompat);
    sb.ro_compat = b.le32(L::sb_feature_ro_compat);
    sb.blocks_count = b.le32(L::sb_blocks_count_lo);
    sb.free_blocks = b.le32(L::sb_free_blocks_lo);
    if (sb.is_64bit()) {
        sb.blocks_count |= uint64_t(b.le32(L::sb_blocks_count_hi)) << 32;
        sb.free_blocks |= uint64_t(b.le32(L::sb_free_blocks_hi)) << 32;
    }
    sb.first_data_block = b.le32(L::sb_first_data_block);
    sb.blocks_per_group = b.le32(L::sb_blocks_per_group);
    sb.inodes_per_group = b.le32(L::sb_inodes_per_group);
    sb.inodes_count = b.le32(L::sb_inodes_count);
    const uint32_t bits = sb.block_size * 8;
    if (sb.blocks_per_group == 0 || sb.blocks_per_group > bits || sb.inodes_per_group == 0 ||
        sb.inodes_per_group > bits || sb.blocks_count <= sb.first_data_block || sb.first_data_block > 1)
        return std::nullopt;
    if (b.le32(L::sb_rev_level) >= 1) {
        sb.inode_size = b.le16(L::sb_inode_size);
        sb.first_ino = b.le32(L::sb_first_ino);
    }
    if (sb.inode_size < L::i_good_old_size || !power_of_two(sb.inode_size) || sb.inode_size > sb.block_size)
        return std::nullopt;
    if (sb.is_64bit()) {
        sb.desc_size = b.le16(L::sb_desc_size);
        if (sb.desc_size < L::gd_64bit_min_size || !power_of_two(sb.desc_size) || sb.desc_size > 1024)
            return std::nullopt;
    }
    const uint64_t groups = (sb.blocks_count - sb.first_data_block + sb.blocks_per_group - 1) / sb.blocks_per_group;
    if (groups == 0 || groups > UINT32_MAX / sb.inodes_per_group) return std::nullopt;
    sb.group_count = uint32_t(groups);
    sb.inodes_count = uint32_t(groups * sb.inodes_per_group);
    sb.journal_inode = b.le32(L::sb_journal_inum);
    std::memcpy(sb.uuid, b.data() + L::sb_uuid, sizeof sb.uuid);
    const char* name = reinterpret_cast<const char*>(b.data() + L::sb_volume_name);
    sb.label.assign(name, strnlen(name, 16));
    sb.csum_seed = (sb.incompat & L::incompat_csum_seed) ? b.le32(L::sb_checksum_seed)
                                                         : crc32c(~0u, sb.uuid, sizeof sb.uuid);
    if (sb.metadata_csum() && checksum_ok)
        *checksum_ok = crc32c(~0u, b.data(), L::sb_checksum) == b.le32(L::sb_checksum);
    return sb;
}

bool volume::checked_read(uint64_t offset, void* buf, size_t len) {
    if (gone_) return false;
    if (device_.read_exact(offset, buf, len)) return true;
    if (!device_.medium_present()) gone_ = true;
    return false;
}

int volume::open(device_handle& device, std::unique_ptr<volume>* out) {
    std::vector<uint8_t> buf(L::superblock_size);
    if (!device.read_exact(L::superblock_offset, buf.data(), buf.size())) return open_unreadable;
    bool primary_ok = false;
    std::optional<superblock_info> sb = parse_superblock(byte_view(buf.data(), buf.size()), &primary_ok);
    uint64_t bad_checksums = 0;
    if (sb) sb->superblock_at = L::superblock_offset;
    if (!sb || !primary_ok) {
        if (sb) ++bad_checksums;
        // The first backup sits at the start of group 1; its block size is unknown.
        for (uint32_t bs : backup_block_sizes) {
            const uint64_t first = bs == 1024 ? 1 : 0;
            const uint64_t at = (uint64_t(bs) * 8 + first) * bs;
            if (!device.read_exact(at, buf.data(), buf.size())) continue;
            bool ok = false;
            auto backup = parse_superblock(byte_view(buf.data(), buf.size()), &ok);
            if (backup && ok && backup->block_size == bs && backup->blocks_per_group == bs * 8) {
                backup->superblock_at = at;
                backup->backup_used = true;
                sb = backup;
                break;
            }
        }
    }
    if (!sb) return open_bad_super;
    if (sb->incompat & L::incompat_journal_dev) return open_unsupported;
    // Every group's descriptor lies on the volume. A superblock that claims more groups than the
    // device could hold the descriptors of is not this device's (or this is a sliver of it), and
    // each table sized from its counts would then be out of all proportion to what can be read.
    if (uint64_t(sb->group_count) * sb->desc_size > device.length()) return open_bad_groups;
    std::unique_ptr<volume> v(new volume(device, *sb));
    v->problems_.bad_checksums = bad_checksums;
    if (!v->load_groups()) return open_bad_groups;
    v->load_bitmaps();
    *out = std::move(v);
    return 0;
}

bool volume::load_groups() {
    const uint32_t bs = sb_.block_size;
    const uint32_t per_block = bs / sb_.desc_size;
    const uint64_t desc_blocks = (uint64_t(sb_.group_count) + per_block - 1) / per_block;
    const uint64_t sb_block = sb_.superblock_at / bs;
    const bool meta_bg = sb_.incompat & L::incompat_meta_bg;
    uint32_t first_meta_bg = UINT32_MAX;
    if (meta_bg) {
        std::vector<uint8_t> raw(L::superblock_size);
        if (checked_read(sb_.superblock_at, raw.data(), raw.size()))
            first_meta_bg = byte_view(raw.data(), raw.size()).le32(L::sb_first_meta_bg);
    }
    groups_.resize(sb_.group_count);
    std::vector<uint8_t> block;
    uint64_t readable = 0;
    for (uint64_t d = 0; d < desc_blocks; ++d) {
        uint64_t where = sb_block + 1 + d;
        if (meta_bg && d >= first_meta_bg) {
            const uint64_t g = d * per_block;
            where = sb_.first_data_block + g * sb_.blocks_per_group + (has_super(sb_, g) ? 1 : 0);
        }
        if (!read_block(where, block)) continue;
        ++readable;
        byte_view v(block.data(), block.size());
        for (uint32_t i = 0; i < per_block; ++i) {
            const uint64_t g = d * per_block + i;
            if (g >= sb_.group_count) break;
            byte_view gd = v.sub(size_t(i) * sb_.desc_size, sb_.desc_size);
            group_info& gi = groups_[g];
            gi.block_bitmap = gd.le32(L::gd_block_bitmap_lo);
            gi.inode_bitmap = gd.le32(L::gd_inode_bitmap_lo);
            gi.inode_table = gd.le32(L::gd_inode_table_lo);
            if (sb_.desc_size >= L::gd_64bit_min_size) {
                gi.block_bitmap |= uint64_t(gd.le32(L::gd_block_bitmap_hi)) << 32;
                gi.inode_bitmap |= uint64_t(gd.le32(L::gd_inode_bitmap_hi)) << 32;
                gi.inode_table |= uint64_t(gd.le32(L::gd_inode_table_hi)) << 32;
            }
            gi.flags = gd.le16(L::gd_flags);
            if (sb_.metadata_csum()) {
                uint8_t le[4], zero[2] = {};
                put_le32(le, uint32_t(g));
                uint32_t c = crc32c(sb_.csum_seed, le, 4);
                c = crc32c(c, gd.data(), L::gd_checksum);
                c = crc32c(c, zero, 2);
                c = crc32c(c, gd.data() + L::gd_checksum + 2, sb_.desc_size - L::gd_checksum - 2);
                if ((c & 0xFFFF) != gd.le16(L::gd_checksum)) ++problems_.bad_checksums;
            }
            // A table that does not fit the volume is left out rather than read.
            const uint64_t table_blocks =
                (uint64_t(sb_.inodes_per_group) * sb_.inode_size + bs - 1) / bs;
            if (!block_valid(gi.inode_table) || gi.inode_table + table_blocks > sb_.blocks_count) {
                gi.inode_table = 0;
                ++problems_.bad_structures;
            }
            if (!block_valid(gi.block_bitmap)) gi.block_bitmap = 0;
            if (!block_valid(gi.inode_bitmap)) gi.inode_bitmap = 0;
        }
    }
    return readable > 0;
}

void volume::load_bitmaps() {
    // Blocks past the end of the device cannot be read whatever the bitmap says: the map stops there.
    const uint64_t on_device = std::max<uint64_t>(device_.length() / sb_.block_size, sb_.first_data_block);
    const uint64_t blocks = std::min(sb_.blocks_count, on_device) - sb_.first_data_block;
    mapped_blocks_ = blocks;
    block_bitmap_.assign((blocks + 7) / 8, 0);
    inode_bitmap_.assign((uint64_t(sb_.inodes_count) + 7) / 8, 0);
    std::vector<uint8_t> block;
    auto set_bits = [](std::vector<uint8_t>& map, uint64_t first, uint64_t n, const uint8_t* src) {
        if (first % 8 == 0) {  // whole bytes (groups hold a multiple of 8 blocks and inodes, but for a short last one)
            const uint64_t at = first / 8;
            if (at >= map.size()) return;
            const size_t whole = size_t(std::min<uint64_t>(n / 8, map.size() - at));
            if (src) {
                for (size_t i = 0; i < whole; ++i) map[at + i] |= src[i];
            } else {
                std::fill_n(map.begin() + std::ptrdiff_t(at), whole, uint8_t(0xFF));
            }
            const uint64_t done = uint64_t(whole) * 8;
            first += done;
            n -= done;
            if (src) src += whole;
            if (n == 0) return;
            // The rest (a partial byte, or bits past the end) goes bit by bit, from bit 0 of src.
            for (uint64_t i = 0; i < n; ++i) {
                const uint64_t bit = first + i;
                if (bit / 8 >= map.size()) break;
                if (!src || (src[i >> 3] >> (i & 7)) & 1) map[bit >> 3] |= uint8_t(1u << (bit & 7));
            }
            return;
        }
        for (uint64_t i = 0; i < n; ++i) {
            const uint64_t bit = first + i;
            if (bit / 8 >= map.size()) break;
            if (!src || (src[i >> 3] >> (i & 7)) & 1) map[bit >> 3] |= uint8_t(1u << (bit & 7));
        }
    };
    for (uint32_t g = 0; g < sb_.group_count; ++g) {
        const group_info& gi = groups_[g];
        const uint64_t first = uint64_t(g) * sb_.blocks_per_group;
        const uint64_t n = first < blocks ? std::min<uint64_t>(sb_.blocks_per_group, blocks - first) : 0;
        if ((gi.flags & L::bg_block_uninit) || n == 0) {
            // Nothing allocated but the group's own metadata; counted as free.
        } else if (gi.block_bitmap && read_block(gi.block_bitmap, block)) {
            set_bits(block_bitmap_, first, n, block.data());
        } else {
            set_bits(block_bitmap_, first, n, nullptr);  // unknown: in use, so nothing is called intact
        }
        const uint64_t ifirst = uint64_t(g) * sb_.inodes_per_group;
        if (gi.flags & L::bg_inode_uninit) continue;
        if (gi.inode_bitmap && read_block(gi.inode_bitmap, block))
            set_bits(inode_bitmap_, ifirst, sb_.inodes_per_group, block.data());
        else
            set_bits(inode_bitmap_, ifirst, sb_.inodes_per_group, nullptr);
    }
}

bool volume::read_block(uint64_t b, std::vector<uint8_t>& out) { return read_block(b, out, sb_.block_size); }

bool volume::read_block(uint64_t b, std::vector<uint8_t>& out, size_t len) {
    out.resize(std::min<size_t>(len, sb_.block_size));
    if (b >= sb_.blocks_count) return false;
    if (checked_read(b * sb_.block_size, out.data(), out.size())) return true;
    ++problems_.unreadable_blocks;
    return false;
}

bool volume::read_block(uint64_t b, uint8_t* out) {
    if (b >= sb_.blocks_count) return false;
    if (checked_read(b * sb_.block_size, out, sb_.block_size)) return true;
    ++problems_.unreadable_blocks;
    return false;
}

bool volume::block_in_use(uint64_t b) const {
    if (b < sb_.first_data_block || b >= sb_.blocks_count || block_bitmap_.empty()) return true;
    const uint64_t i = b - sb_.first_data_block;
    if (i >= mapped_blocks_) return true;
    return (block_bitmap_[i >> 3] >> (i & 7)) & 1;
}

bool volume::inode_in_use(uint32_t ino) const {
    if (ino == 0 || ino > sb_.inodes_count) return false;
    const uint64_t i = ino - 1;
    return (inode_bitmap_[i >> 3] >> (i & 7)) & 1;
}

uint64_t volume::free_blocks() const {
    uint64_t used = 0;
    for (uint8_t byte : block_bitmap_) used += __builtin_popcount(byte);
    return used >= mapped_blocks_ ? 0 : mapped_blocks_ - used;
}

bool volume::inode_location(uint32_t ino, uint64_t* block, size_t* offset) const {
    if (ino == 0 || ino > sb_.inodes_count) return false;
    const uint32_t g = (ino - 1) / sb_.inodes_per_group;
    const uint64_t index = (ino - 1) % sb_.inodes_per_group;
    if (groups_[g].inode_table == 0) return false;
    const uint64_t byte = index * sb_.inode_size;
    *block = groups_[g].inode_table + byte / sb_.block_size;
    *offset = size_t(byte % sb_.block_size);
    return true;
}

bool volume::inode_table_block(uint64_t b, uint32_t* first_ino) const {
    const uint64_t table_blocks = (uint64_t(sb_.inodes_per_group) * sb_.inode_size + sb_.block_size - 1) /
                                  sb_.block_size;
    const uint32_t per_block = sb_.block_size / sb_.inode_size;
    // With flex_bg the tables of a flex group lie together, so every group is asked.
    for (uint32_t g = 0; g < groups_.size(); ++g) {
        const uint64_t t = groups_[g].inode_table;
        if (t && b >= t && b < t + table_blocks) {
            *first_ino = uint32_t(uint64_t(g) * sb_.inodes_per_group + (b - t) * per_block + 1);
            return true;
        }
    }
    return false;
}

bool volume::read_inode(uint32_t ino, std::vector<uint8_t>& raw) {
    uint64_t block;
    size_t offset;
    if (!inode_location(ino, &block, &offset)) return false;
    raw.resize(sb_.inode_size);
    return checked_read(block * sb_.block_size + offset, raw.data(), raw.size());
}

inode_brief parse_inode_brief(byte_view raw) {
    inode_brief f;
    f.mode = raw.le16(L::i_mode);
    f.links = raw.le16(L::i_links_count);
    f.flags = raw.le32(L::i_flags);
    f.size = raw.le32(L::i_size_lo) | uint64_t(raw.le32(L::i_size_high)) << 32;
    const size_t extra_end = raw.size() > L::i_good_old_size
                                 ? std::min<size_t>(raw.size(), L::i_good_old_size + raw.le16(L::i_extra_isize))
                                 : 0;
    f.ctime = inode_time(raw, L::i_ctime, 0x84, extra_end);
    f.mtime = inode_time(raw, L::i_mtime, 0x88, extra_end);
    f.atime = inode_time(raw, L::i_atime, 0x8C, extra_end);
    f.dtime = raw.le32(L::i_dtime);
    if (L::i_crtime + 4 <= extra_end) f.crtime = inode_time(raw, L::i_crtime, 0x94, extra_end);
    return f;
}

inode_fields parse_inode(byte_view raw) {
    inode_fields f;
    static_cast<inode_brief&>(f) = parse_inode_brief(raw);
    f.generation = raw.le32(L::i_generation);
    f.blocks_512 = raw.le32(L::i_blocks_lo);
    f.file_acl = raw.le32(L::i_file_acl_lo);
    if (raw.has(L::i_block, L::i_block_size)) std::memcpy(f.block, raw.data() + L::i_block, L::i_block_size);
    return f;
}

bool inode_checksum_ok(const superblock_info& sb, uint32_t ino, byte_view raw) {
    if (!sb.metadata_csum() || raw.size() < L::i_good_old_size) return true;
    const uint32_t seed = inode_seed(sb, ino, raw.le32(L::i_generation));
    // The usual inode in one piece, its checksum fields zeroed in a copy: the CRC of one
    // long run is faster than of five short ones.
    uint8_t copy[512];
    if (raw.size() <= sizeof copy && (raw.size() == L::i_good_old_size || raw.size() >= L::i_checksum_hi + 2)) {
        std::memcpy(copy, raw.data(), raw.size());
        copy[L::i_checksum_lo] = copy[L::i_checksum_lo + 1] = 0;
        uint32_t stored = raw.le16(L::i_checksum_lo);
        const bool full = raw.size() > L::i_good_old_size &&
                          L::i_good_old_size + raw.le16(L::i_extra_isize) >= L::i_checksum_hi + 2;
        if (full) {
            copy[L::i_checksum_hi] = copy[L::i_checksum_hi + 1] = 0;
            stored |= uint32_t(raw.le16(L::i_checksum_hi)) << 16;
        }
        const uint32_t c = crc32c(seed, copy, raw.size());
        return full ? c == stored : (c & 0xFFFF) == stored;
    }
    const uint8_t zero[2] = {};
    uint32_t c = seed;
    c = crc32c(c, raw.data(), L::i_checksum_lo);
    c = crc32c(c, zero, 2);
    c = crc32c(c, raw.data() + L::i_checksum_lo + 2, L::i_good_old_size - L::i_checksum_lo - 2);
    uint32_t stored = raw.le16(L::i_checksum_lo);
    bool full = false;
    if (raw.size() > L::i_good_old_size) {
        c = crc32c(c, raw.data() + L::i_good_old_size, L::i_checksum_hi - L::i_good_old_size);
        size_t offset = L::i_checksum_hi;
        if (L::i_good_old_size + raw.le16(L::i_extra_isize) >= L::i_checksum_hi + 2) {
            c = crc32c(c, zero, 2);
            offset += 2;
            stored |= uint32_t(raw.le16(L::i_checksum_hi)) << 16;
            full = true;
        }
        if (offset < raw.size()) c = crc32c(c, raw.data() + offset, raw.size() - offset);
    }
    return full ? c == stored : (c & 0xFFFF) == stored;
}

namespace {

// A table of x -> shifter(x) by byte of x, from the shifter's value at each bit (it is linear).
template <typename F>
void linear_table(uint32_t (&t)[256], F f) {
    uint32_t bit[8];
    for (int j = 0; j < 8; ++j) bit[j] = f(uint32_t(1) << j);
    t[0] = 0;
    for (uint32_t v = 1; v < 256; ++v) t[v] = t[v & (v - 1)] ^ bit[__builtin_ctz(v)];
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) void raw_three(const uint8_t* a, const uint8_t* b, const uint8_t* c, size_t len,
                                                 uint32_t* out) {
    uint64_t x = 0, y = 0, z = 0;
    for (size_t i = 0; i + 8 <= len; i += 8) {
        uint64_t va, vb, vc;
        std::memcpy(&va, a + i, 8);
        std::memcpy(&vb, b + i, 8);
        std::memcpy(&vc, c + i, 8);
        x = __builtin_ia32_crc32di(x, va);
        y = __builtin_ia32_crc32di(y, vb);
        z = __builtin_ia32_crc32di(z, vc);
    }
    out[0] = uint32_t(x);
    out[1] = uint32_t(y);
    out[2] = uint32_t(z);
}
#endif

}  // namespace

inode_crcs::inode_crcs(const superblock_info& sb) : sb_(sb), past_inode_(sb.inode_size) {
    const size_t len = sb.inode_size;
    const size_t at[4] = {L::i_checksum_lo, L::i_checksum_lo + 1, L::i_checksum_hi, L::i_checksum_hi + 1};
    for (int k = 0; k < 4; ++k) {
        if (at[k] >= len) {
            std::fill(std::begin(field_[k]), std::end(field_[k]), 0u);
            continue;
        }
        const crc32c_shifter after(len - at[k] - 1);
        linear_table(field_[k], [&](uint32_t v) {
            const uint8_t byte = uint8_t(v);
            return after(crc32c(0, &byte, 1));
        });
    }
}

void inode_crcs::raw(const uint8_t* const* inodes, size_t n, uint32_t* out) const {
    const size_t len = sb_.inode_size;
    size_t i = 0;
#if defined(__x86_64__)
    if (len % 8 == 0 && __builtin_cpu_supports("sse4.2"))
        for (; i + 3 <= n; i += 3) raw_three(inodes[i], inodes[i + 1], inodes[i + 2], len, out + i);
#endif
    for (; i < n; ++i) out[i] = crc32c(0, inodes[i], len);
}

bool inode_crcs::checksum_ok(uint32_t ino, byte_view raw, uint32_t raw_crc) const {
    if (!sb_.metadata_csum() || raw.size() < L::i_good_old_size) return true;
    if (raw.size() != sb_.inode_size) return inode_checksum_ok(sb_, ino, raw);
    // The checksum runs over the inode with its checksum fields zeroed: the raw CRC with
    // the CRC of those fields alone taken out, from the inode's seed (shifted over the inode).
    uint32_t c = past_inode_(inode_seed(sb_, ino, raw.le32(L::i_generation))) ^ raw_crc ^
                 field_[0][raw.u8(L::i_checksum_lo)] ^ field_[1][raw.u8(L::i_checksum_lo + 1)];
    uint32_t stored = raw.le16(L::i_checksum_lo);
    const bool full = raw.size() > L::i_good_old_size &&
                      L::i_good_old_size + raw.le16(L::i_extra_isize) >= L::i_checksum_hi + 2;
    if (full) {
        c ^= field_[2][raw.u8(L::i_checksum_hi)] ^ field_[3][raw.u8(L::i_checksum_hi + 1)];
        stored |= uint32_t(raw.le16(L::i_checksum_hi)) << 16;
    }
    return full ? c == stored : (c & 0xFFFF) == stored;
}

std::vector<block_run> volume::map_blocks(uint32_t ino, const inode_fields& in, uint64_t max_blocks,
                                          const block_source& given, uint64_t* tree_blocks) {
    std::vector<block_run> runs;
    if (max_blocks == 0 || in.inline_data()) return runs;
    auto source = [&](uint64_t b, std::vector<uint8_t>& out) { return given ? given(b, out) : read_block(b, out); };
    std::unordered_set<uint64_t> visited;
    // A tree never needs more blocks than it maps, nor more than the volume has.
    const uint64_t max_nodes = std::min<uint64_t>({max_visited_nodes, max_blocks + 8, sb_.blocks_count});
    struct count_on_exit {
        std::unordered_set<uint64_t>& v;
        uint64_t* out;
        ~count_on_exit() {
            if (out) *out = v.size();
        }
    } counter{visited, tree_blocks};
    uint64_t next_logical = 0;  // entries must come in order, which also ends loops
    auto add = [&](uint64_t logical, uint64_t physical, uint64_t count, bool zero) {
        if (logical >= max_blocks || count == 0) return;
        count = std::min(count, max_blocks - logical);
        if (!runs.empty()) {
            block_run& last = runs.back();
            if (last.zero == zero && last.logical + last.count == logical && last.physical + last.count == physical) {
                last.count += count;
                return;
            }
        }
        runs.push_back({logical, physical, count, zero});
    };

    // An extent leaf entry: a run of blocks (uninitialised ones read as zeros).
    auto leaf = [&](byte_view e) {
        uint32_t len = e.le16(L::ee_len);
        const bool zero = len > L::ee_init_max_len;
        if (zero) len -= L::ee_init_max_len;
        const uint64_t logical = e.le32(L::ee_block);
        const uint64_t phys = e.le32(L::ee_start_lo) | uint64_t(e.le16(L::ee_start_hi)) << 32;
        if (logical < next_logical || !block_valid(phys) || phys + len > sb_.blocks_count) {
            ++problems_.bad_structures;
            return;
        }
        next_logical = logical + len;
        add(logical, phys, len, zero);
    };
    byte_view root(in.block, sizeof in.block);
    if (in.extents() && root.le16(L::eh_magic) == L::extent_magic && root.le16(L::eh_depth) == 0) {
        // The whole map in the inode (small files): no tree to walk.
        const uint16_t entries = root.le16(L::eh_entries), max = root.le16(L::eh_max);
        if (entries > max || !root.has(L::extent_entry_size, size_t(max) * L::extent_entry_size)) {
            ++problems_.bad_structures;
            return runs;
        }
        for (uint16_t i = 0; i < entries; ++i) leaf(root.sub(L::extent_entry_size * (size_t(i) + 1), L::extent_entry_size));
        return runs;
    }
    if (in.extents()) {
        const uint32_t seed = inode_seed(sb_, ino, in.generation);
        std::function<void(byte_view, int, bool)> walk = [&](byte_view node, int expect_depth, bool root) {
            if (node.le16(L::eh_magic) != L::extent_magic) {
                ++problems_.bad_structures;
                return;
            }
            const uint16_t entries = node.le16(L::eh_entries);
            const uint16_t max = node.le16(L::eh_max);
            const uint16_t depth = node.le16(L::eh_depth);
            if (entries > max || !node.has(L::extent_entry_size, size_t(max) * L::extent_entry_size) ||
                depth > L::max_extent_depth || (expect_depth >= 0 && depth != expect_depth)) {
                ++problems_.bad_structures;
                return;
            }
            if (!root && sb_.metadata_csum()) {
                const size_t tail = L::extent_entry_size * (size_t(max) + 1);
                if (node.has(tail, 4) && crc32c(seed, node.data(), tail) != node.le32(tail))
                    ++problems_.bad_checksums;
            }
            for (uint16_t i = 0; i < entries; ++i) {
                byte_view e = node.sub(L::extent_entry_size * (size_t(i) + 1), L::extent_entry_size);
                if (depth == 0) {
                    leaf(e);
                } else {
                    const uint64_t logical = e.le32(L::ei_block);
                    const uint64_t child = e.le32(L::ei_leaf_lo) | uint64_t(e.le16(L::ei_leaf_hi)) << 32;
                    if (logical < next_logical || logical >= max_blocks) {
                        if (logical >= max_blocks) break;
                        ++problems_.bad_structures;
                        continue;
                    }
                    if (!block_valid(child) || visited.size() >= max_nodes || !visited.insert(child).second) {
                        ++problems_.bad_structures;
                        continue;
                    }
                    std::vector<uint8_t> buf;
                    if (!source(child, buf) || buf.size() != sb_.block_size) continue;
                    walk(byte_view(buf.data(), buf.size()), depth - 1, false);
                }
            }
        };
        walk(byte_view(in.block, sizeof in.block), -1, true);
        return runs;
    }

    // Block map: 12 direct pointers, then single, double and triple indirect blocks.
    byte_view ib(in.block, sizeof in.block);
    for (size_t i = 0; i < L::direct_blocks; ++i) {
        const uint32_t b = ib.le32(i * 4);
        if (b == 0) continue;
        if (!block_valid(b)) {
            ++problems_.bad_structures;
            continue;
        }
        add(i, b, 1, false);
    }
    const uint64_t per = sb_.block_size / 4;
    std::function<void(uint64_t, int, uint64_t)> indirect = [&](uint64_t block, int level, uint64_t first) {
        if (first >= max_blocks) return;
        if (!block_valid(block) || visited.size() >= max_nodes || !visited.insert(block).second) {
            ++problems_.bad_structures;
            return;
        }
        std::vector<uint8_t> buf;
        if (!source(block, buf) || buf.size() != sb_.block_size) return;
        byte_view v(buf.data(), buf.size());
        uint64_t span = 1;
        for (int k = 1; k < level; ++k) span *= per;
        for (uint64_t i = 0; i < per; ++i) {
            const uint64_t logical = first + i * span;
            if (logical >= max_blocks) break;
            const uint32_t b = v.le32(size_t(i) * 4);
            if (b == 0) continue;
            if (level == 1) {
                if (block_valid(b)) add(logical, b, 1, false);
                else ++problems_.bad_structures;
            } else {
                indirect(b, level - 1, logical);
            }
        }
    };
    uint64_t first = L::direct_blocks, span = per;
    for (int level = 1; level <= 3; ++level) {
        const uint32_t b = ib.le32((L::direct_blocks + level - 1) * 4);
        if (b) indirect(b, level, first);
        first += span;
        span *= per;
    }
    return runs;
}

std::vector<uint8_t> volume::inline_bytes(byte_view raw, const inode_fields& in) {
    std::vector<uint8_t> out(in.block, in.block + L::i_block_size);
    const size_t start = L::i_good_old_size + raw.le16(L::i_extra_isize);
    if (raw.size() > L::i_good_old_size && raw.le32(start) == L::xattr_magic) {
        const size_t first = start + 4;
        size_t at = first;
        while (raw.has(at, L::xattr_entry_size) && raw.le32(at) != 0) {
            const uint8_t name_len = raw.u8(at);
            const uint8_t index = raw.u8(at + 1);
            const size_t value_at = first + raw.le16(at + 2);
            const uint32_t value_size = raw.le32(at + 8);
            if (index == L::xattr_index_system && name_len == 4 && raw.equals(at + L::xattr_entry_size, "data")) {
                byte_view value = raw.sub(value_at, value_size);
                if (value.size() == value_size) out.insert(out.end(), value.data(), value.data() + value.size());
                else ++problems_.bad_structures;
                break;
            }
            at += (L::xattr_entry_size + name_len + 3) & ~size_t(3);
        }
    }
    if (out.size() > in.size) out.resize(size_t(in.size));
    return out;
}

std::optional<uint64_t> free_bytes(device_handle& device) {
    std::unique_ptr<volume> v;
    if (volume::open(device, &v) != 0 || !v->bitmaps_known()) return std::nullopt;
    return v->free_blocks() * v->super().block_size;
}

}  // namespace qv::ext4
