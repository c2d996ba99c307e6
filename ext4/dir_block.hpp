#pragma once
// Directory blocks of ext2/3/4: the chain of entries linked by rec_len, entries left
// inside another entry's rec_len after a deletion, and the block's checksum tail.

#include <cstdint>
#include <string_view>
#include <vector>

#include "devices/le_bytes.hpp"

namespace qv::ext4 {

struct dir_entry {
    uint32_t inode = 0;
    uint8_t type = 0;     // 1 file, 2 folder, 7 symlink; 0 unknown (no filetype feature)
    std::string_view name;  // raw bytes of the name (UTF-8 by convention), inside the parsed bytes
    bool hidden = false;  // found inside another entry's rec_len: a deleted entry
};

enum class dir_block_kind { entries, index_node, bad };

// Parses one directory block; the entries' names point into block. With hidden, the space past each entry's name that its
// rec_len covers is searched for entries that once stood there. Entries naming "." and
// ".." are given too. A chain whose rec_len runs past the block, is 0 or misaligned
// makes the block bad; the entries before the fault are kept.
dir_block_kind parse_dir_block(byte_view block, bool filetype, uint32_t max_inode, bool hidden,
                               std::vector<dir_entry>& out);

// Whether the metadata_csum tail of a leaf directory block matches; true when it
// has none and for htree index nodes (their last bytes may be a former leaf's tail).
bool dir_block_checksum_ok(byte_view block, uint32_t inode_seed);

// Inline directory: 4 bytes of parent inode number, then entries up to the end (their
// names point into data).
void parse_inline_dir(byte_view data, bool filetype, uint32_t max_inode, std::vector<dir_entry>& out,
                      uint32_t* parent);

}  // namespace qv::ext4
