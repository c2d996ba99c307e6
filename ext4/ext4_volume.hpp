#pragma once
// An opened ext2/3/4 volume: superblock (or a backup), group descriptors, the block
// and inode bitmaps, inodes, and the mapping of a file's blocks through extent trees,
// block maps or inline data. Checksum failures are counted, never fatal.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devices/crc32c.hpp"
#include "devices/device_handle.hpp"
#include "devices/le_bytes.hpp"
#include "ext4/ext4_layout.hpp"

namespace qv::ext4 {

// Results of volume::open.
enum open_error : int {
    open_unreadable = -1,   // the superblock cannot be read
    open_bad_super = -2,    // neither the superblock nor a backup describes an ext volume
    open_bad_groups = -3,   // the group descriptors cannot be read
    open_unsupported = -4,  // a journal device, not a file system
};

struct superblock_info {
    uint32_t block_size = 0;
    uint64_t blocks_count = 0;
    uint64_t free_blocks = 0;
    uint32_t first_data_block = 0;
    uint32_t blocks_per_group = 0;
    uint32_t inodes_per_group = 0;
    uint32_t inodes_count = 0;
    uint32_t inode_size = 128;
    uint32_t first_ino = 11;
    uint32_t desc_size = 32;
    uint32_t group_count = 0;
    uint32_t compat = 0, incompat = 0, ro_compat = 0;
    uint32_t journal_inode = 0;
    uint32_t csum_seed = 0;  // crc32c seed of metadata checksums
    uint8_t uuid[16] = {};
    std::string label;
    uint64_t superblock_at = 0;  // byte offset the superblock was read from
    bool backup_used = false;

    bool metadata_csum() const;
    bool has_filetype() const;
    bool has_journal() const;
    bool is_64bit() const;
    // "ext2", "ext3" or "ext4", by features.
    const char* kind() const;
};

struct group_info {
    uint64_t block_bitmap = 0;
    uint64_t inode_bitmap = 0;
    uint64_t inode_table = 0;
    uint16_t flags = 0;
};

// A run of a file's blocks: logical block numbers [logical, logical + count) lie at
// physical block numbers [physical, ...). zero: an uninitialised extent (reads as zeros).
struct block_run {
    uint64_t logical = 0;
    uint64_t physical = 0;
    uint64_t count = 0;
    bool zero = false;
};

// The fields of an inode that a listing of a live file needs (no block map).
struct inode_brief {
    uint16_t mode = 0;
    uint16_t links = 0;
    uint32_t flags = 0;
    uint64_t size = 0;
    int64_t atime = 0, ctime = 0, mtime = 0, dtime = 0, crtime = 0;
    bool regular() const { return (mode & layout::mode_type_mask) == layout::mode_file; }
    bool inline_data() const { return flags & layout::flag_inline_data; }
    // In use as far as the inode itself says: a type, links, no deletion time.
    bool in_use() const { return mode != 0 && links != 0 && dtime == 0; }
};

// The fields of an inode this program uses.
struct inode_fields : inode_brief {
    uint32_t generation = 0;
    uint64_t blocks_512 = 0;
    uint64_t file_acl = 0;  // block of extended attributes; 0 none
    uint8_t block[60] = {};  // i_block: extent root, block map or inline data
    bool directory() const { return (mode & layout::mode_type_mask) == layout::mode_dir; }
    bool symlink() const { return (mode & layout::mode_type_mask) == layout::mode_symlink; }
    bool extents() const { return flags & layout::flag_extents; }
};

// Decodes an inode from its raw bytes (inode_size long, or at least 128).
inode_fields parse_inode(byte_view raw);
// The same for the brief fields only.
inode_brief parse_inode_brief(byte_view raw);
// Whether the inode's metadata checksum holds (true where the volume has none).
bool inode_checksum_ok(const superblock_info& sb, uint32_t ino, byte_view raw);

// Metadata checksums of many inodes from one CRC of each inode's bytes as they lie (three
// inodes side by side): the checksum (over a copy with its checksum fields zeroed, from the
// inode's own seed) and the CRC of the whole table block they fill are had from it by
// table look-ups, as the CRC is linear.
class inode_crcs {
public:
    explicit inode_crcs(const superblock_info& sb);
    // out[i] = crc32c(0, inodes[i], inode size) for n inodes.
    void raw(const uint8_t* const* inodes, size_t n, uint32_t* out) const;
    // The same answer as inode_checksum_ok, from the inode's raw CRC.
    bool checksum_ok(uint32_t ino, byte_view raw, uint32_t raw_crc) const;
    // crc32c(0, bytes followed by an inode) from crc32c(0, bytes) and the inode's raw CRC.
    uint32_t append(uint32_t crc, uint32_t raw_crc) const { return past_inode_(crc) ^ raw_crc; }

private:
    const superblock_info& sb_;
    crc32c_shift_table past_inode_;  // the register after inode-size zero bytes
    uint32_t field_[4][256];  // by checksum byte (low two, high two): the CRC of an inode holding only it
};

// Counts of structures whose checks failed; they are still read.
struct volume_problems {
    uint64_t bad_checksums = 0;     // superblock, group descriptors, inodes, extent and directory blocks
    uint64_t bad_structures = 0;    // extent headers, block maps and directory entries that do not hold
    uint64_t unreadable_blocks = 0; // metadata blocks the device would not give
};

class volume {
public:
    // Opens the volume on device, which must outlive the volume. 0 and the volume in
    // *out, or an open_error. A bad primary superblock falls back to the first backup.
    static int open(device_handle& device, std::unique_ptr<volume>* out);

    const superblock_info& super() const { return sb_; }
    const std::vector<group_info>& groups() const { return groups_; }
    device_handle& device() { return device_; }
    volume_problems& problems() { return problems_; }
    // True once a read found the device gone.
    bool gone() const { return gone_; }

    // Reads block b whole into out (resized); false when out of range or unreadable.
    bool read_block(uint64_t b, std::vector<uint8_t>& out);
    // Reads the first len bytes of block b (at most a block) into out (resized).
    bool read_block(uint64_t b, std::vector<uint8_t>& out, size_t len);
    // Reads block b whole into out, which has room for a block.
    bool read_block(uint64_t b, uint8_t* out);
    bool block_valid(uint64_t b) const { return b >= sb_.first_data_block && b < sb_.blocks_count; }
    // Today's bitmaps. Blocks out of range or past the end of the device count as in use;
    // inodes out of range as free.
    bool block_in_use(uint64_t b) const;
    bool inode_in_use(uint32_t ino) const;
    bool bitmaps_known() const { return !block_bitmap_.empty(); }
    // Free blocks from the bitmaps, up to the end of the device.
    uint64_t free_blocks() const;

    // The inode table block holding ino and the byte offset within it.
    bool inode_location(uint32_t ino, uint64_t* block, size_t* offset) const;
    // Group and index of an inode-table block; false when b is not in one.
    bool inode_table_block(uint64_t b, uint32_t* first_ino) const;
    // Reads inode ino's raw bytes.
    bool read_inode(uint32_t ino, std::vector<uint8_t>& raw);

    // Gives the content of a metadata block (an extent or indirect block); the
    // default reads the device, the undelete passes journal copies.
    using block_source = std::function<bool(uint64_t block, std::vector<uint8_t>& out)>;
    // Maps a file's blocks from its inode: extent tree (any depth) or block map.
    // Stops at max_blocks logical blocks; loops, entries out of order and blocks past
    // the volume end the walk of that branch and are counted as bad structures.
    // *tree_blocks (when given) counts the extent or indirect blocks the map went through.
    std::vector<block_run> map_blocks(uint32_t ino, const inode_fields& in, uint64_t max_blocks,
                                      const block_source& source = nullptr, uint64_t* tree_blocks = nullptr);
    // Inline data of an inode: i_block and the "system.data" attribute in the inode's extra space.
    std::vector<uint8_t> inline_bytes(byte_view raw, const inode_fields& in);

private:
    volume(device_handle& device, const superblock_info& sb) : device_(device), sb_(sb) {}
    bool load_groups();
    void load_bitmaps();
    bool checked_read(uint64_t offset, void* buf, size_t len);

    device_handle& device_;
    superblock_info sb_;
    std::vector<group_info> groups_;
    std::vector<uint8_t> block_bitmap_;  // one bit per block from first_data_block
    uint64_t mapped_blocks_ = 0;         // the blocks it covers: the volume's, up to the device's end
    std::vector<uint8_t> inode_bitmap_;  // one bit per inode from 1
    volume_problems problems_;
    bool gone_ = false;
};

// Parses a superblock's bytes; nothing when it does not describe an ext volume.
std::optional<superblock_info> parse_superblock(byte_view bytes, bool* checksum_ok);

// Free bytes of the ext volume on device from its block bitmaps; nothing when it
// cannot be opened.
std::optional<uint64_t> free_bytes(device_handle& device);

}  // namespace qv::ext4
