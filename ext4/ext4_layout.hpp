#pragma once
// On-disk offsets and flags of ext2/3/4 and its jbd2 journal (little-endian file
// system, big-endian journal).

#include <cstdint>

namespace qv::ext4::layout {

// Superblock, 1024 bytes at byte 1024 of the volume.
constexpr uint64_t superblock_offset = 1024;
constexpr size_t superblock_size = 1024;
constexpr size_t sb_inodes_count = 0x00;
constexpr size_t sb_blocks_count_lo = 0x04;
constexpr size_t sb_free_blocks_lo = 0x0C;
constexpr size_t sb_first_data_block = 0x14;
constexpr size_t sb_log_block_size = 0x18;
constexpr size_t sb_blocks_per_group = 0x20;
constexpr size_t sb_inodes_per_group = 0x28;
constexpr size_t sb_magic = 0x38;
constexpr size_t sb_rev_level = 0x4C;
constexpr size_t sb_first_ino = 0x54;
constexpr size_t sb_inode_size = 0x58;
constexpr size_t sb_feature_compat = 0x5C;
constexpr size_t sb_feature_incompat = 0x60;
constexpr size_t sb_feature_ro_compat = 0x64;
constexpr size_t sb_uuid = 0x68;
constexpr size_t sb_volume_name = 0x78;
constexpr size_t sb_journal_inum = 0xE0;
constexpr size_t sb_journal_dev = 0xE4;
constexpr size_t sb_desc_size = 0xFE;
constexpr size_t sb_first_meta_bg = 0x104;
constexpr size_t sb_blocks_count_hi = 0x150;
constexpr size_t sb_free_blocks_hi = 0x158;
constexpr size_t sb_log_groups_per_flex = 0x174;
constexpr size_t sb_reserved_gdt_blocks = 0xCE;  // le16: blocks kept after the descriptors for growing
constexpr size_t sb_checksum_seed = 0x270;
constexpr size_t sb_checksum = 0x3FC;
constexpr uint16_t magic = 0xEF53;

constexpr uint32_t compat_has_journal = 0x4;
constexpr uint32_t incompat_filetype = 0x2;
constexpr uint32_t incompat_journal_dev = 0x8;
constexpr uint32_t incompat_meta_bg = 0x10;
constexpr uint32_t incompat_extents = 0x40;
constexpr uint32_t incompat_64bit = 0x80;
constexpr uint32_t incompat_flex_bg = 0x200;
constexpr uint32_t incompat_csum_seed = 0x2000;
constexpr uint32_t incompat_inline_data = 0x8000;
constexpr uint32_t ro_compat_sparse_super = 0x1;
constexpr uint32_t ro_compat_gdt_csum = 0x10;
constexpr uint32_t ro_compat_metadata_csum = 0x400;

// Group descriptor (32 bytes, or s_desc_size with the 64bit feature).
constexpr size_t gd_block_bitmap_lo = 0x00;
constexpr size_t gd_inode_bitmap_lo = 0x04;
constexpr size_t gd_inode_table_lo = 0x08;
constexpr size_t gd_flags = 0x12;
constexpr size_t gd_checksum = 0x1E;
constexpr size_t gd_block_bitmap_hi = 0x20;
constexpr size_t gd_inode_bitmap_hi = 0x24;
constexpr size_t gd_inode_table_hi = 0x28;
constexpr size_t gd_min_size = 32;
constexpr size_t gd_64bit_min_size = 64;
constexpr uint16_t bg_inode_uninit = 0x1;
constexpr uint16_t bg_block_uninit = 0x2;

// Inode.
constexpr size_t i_mode = 0x00;
constexpr size_t i_size_lo = 0x04;
constexpr size_t i_atime = 0x08;
constexpr size_t i_ctime = 0x0C;
constexpr size_t i_mtime = 0x10;
constexpr size_t i_dtime = 0x14;
constexpr size_t i_links_count = 0x1A;
constexpr size_t i_blocks_lo = 0x1C;
constexpr size_t i_flags = 0x20;
constexpr size_t i_block = 0x28;
constexpr size_t i_block_size = 60;
constexpr size_t i_generation = 0x64;
constexpr size_t i_file_acl_lo = 0x68;
constexpr size_t i_size_high = 0x6C;
constexpr size_t i_checksum_lo = 0x7C;
constexpr size_t i_good_old_size = 128;
constexpr size_t i_extra_isize = 0x80;
constexpr size_t i_checksum_hi = 0x82;
constexpr size_t i_crtime = 0x90;
constexpr uint32_t flag_index = 0x1000;
constexpr uint32_t flag_extents = 0x80000;
constexpr uint32_t flag_inline_data = 0x10000000;
constexpr uint16_t mode_type_mask = 0xF000;
constexpr uint16_t mode_dir = 0x4000;
constexpr uint16_t mode_file = 0x8000;
constexpr uint16_t mode_symlink = 0xA000;
constexpr uint32_t root_inode = 2;

// Extent tree node: 12-byte header, then 12-byte index or leaf entries.
constexpr uint16_t extent_magic = 0xF30A;
constexpr size_t eh_magic = 0;
constexpr size_t eh_entries = 2;
constexpr size_t eh_max = 4;
constexpr size_t eh_depth = 6;
constexpr size_t extent_entry_size = 12;
constexpr size_t ei_block = 0;
constexpr size_t ei_leaf_lo = 4;
constexpr size_t ei_leaf_hi = 8;
constexpr size_t ee_block = 0;
constexpr size_t ee_len = 4;
constexpr size_t ee_start_hi = 6;
constexpr size_t ee_start_lo = 8;
constexpr uint16_t ee_init_max_len = 32768;
constexpr uint16_t max_extent_depth = 5;

// Block map: 12 direct pointers, then indirect, double and triple.
constexpr size_t direct_blocks = 12;

// Directory entry.
constexpr size_t de_inode = 0;
constexpr size_t de_rec_len = 4;
constexpr size_t de_name_len = 6;
constexpr size_t de_file_type = 7;
constexpr size_t de_name = 8;
constexpr size_t de_tail_size = 12;
constexpr uint8_t de_tail_type = 0xDE;

// In-inode extended attributes (inline data beyond i_block lives in "system.data").
constexpr uint32_t xattr_magic = 0xEA020000;
constexpr size_t xattr_entry_size = 16;
constexpr uint8_t xattr_index_system = 7;

// jbd2 journal (big-endian).
constexpr uint32_t jbd2_magic = 0xC03B3998;
constexpr uint32_t jbd2_descriptor = 1;
constexpr uint32_t jbd2_commit = 2;
constexpr uint32_t jbd2_superblock_v1 = 3;
constexpr uint32_t jbd2_superblock_v2 = 4;
constexpr uint32_t jbd2_revoke = 5;
constexpr size_t jh_magic = 0;
constexpr size_t jh_blocktype = 4;
constexpr size_t jh_sequence = 8;
constexpr size_t jh_size = 12;
constexpr size_t js_blocksize = 0x0C;
constexpr size_t js_maxlen = 0x10;
constexpr size_t js_first = 0x14;
constexpr size_t js_sequence = 0x18;
constexpr size_t js_start = 0x1C;
constexpr size_t js_feature_incompat = 0x28;
constexpr size_t js_uuid = 0x30;
constexpr uint32_t jbd2_incompat_revoke = 0x1;
constexpr uint32_t jbd2_incompat_64bit = 0x2;
constexpr uint32_t jbd2_incompat_csum_v2 = 0x8;
constexpr uint32_t jbd2_incompat_csum_v3 = 0x10;
constexpr uint32_t jbd2_tag_escape = 0x1;
constexpr uint32_t jbd2_tag_same_uuid = 0x2;
constexpr uint32_t jbd2_tag_last = 0x8;
constexpr size_t jbd2_uuid_size = 16;
constexpr size_t jbd2_block_tail = 4;
constexpr size_t jr_count = 12;

}  // namespace qv::ext4::layout
