#include "ext4/dir_block.hpp"

#include <algorithm>

#include "devices/crc32c.hpp"
#include "ext4/ext4_layout.hpp"

namespace qv::ext4 {

namespace L = layout;

namespace {

constexpr size_t min_entry = 8;
constexpr size_t dx_info_length_at = 0x18 + 5;  // dx_root_info.info_length in an index root
constexpr uint8_t dx_info_length = 8;
constexpr uint8_t max_file_type = 7;

size_t align4(size_t n) { return (n + 3) & ~size_t(3); }

bool plausible_name(byte_view b, size_t at, size_t len) {
    if (len == 0) return false;
    for (size_t i = 0; i < len; ++i) {
        const uint8_t c = b.u8(at + i);
        if (c == 0 || c == '/') return false;
    }
    return true;
}

size_t name_length(byte_view b, size_t at, bool filetype) {
    return filetype ? b.u8(at + L::de_name_len) : (b.le16(at + L::de_name_len) & 0xFF);
}

// Entries left behind in [from, to): a deleted entry is swallowed by the one before it.
void find_hidden(byte_view b, size_t from, size_t to, bool filetype, uint32_t max_inode,
                 std::vector<dir_entry>& out) {
    size_t at = align4(from);
    while (at + min_entry < to) {
        const uint32_t ino = b.le32(at + L::de_inode);
        const size_t rec = b.le16(at + L::de_rec_len);
        const size_t len = name_length(b, at, filetype);
        const uint8_t type = filetype ? b.u8(at + L::de_file_type) : 0;
        if (ino != 0 && ino <= max_inode && len && min_entry + len <= to - at && rec >= min_entry + len &&
            rec % 4 == 0 && at + rec <= b.size() && (!filetype || (type >= 1 && type <= max_file_type)) &&
            plausible_name(b, at + L::de_name, len)) {
            dir_entry e;
            e.inode = ino;
            e.type = type;
            e.name = std::string_view(reinterpret_cast<const char*>(b.data() + at + L::de_name), len);
            e.hidden = true;
            if (e.name != "." && e.name != "..") out.push_back(e);
            at += align4(min_entry + len);
        } else {
            at += 4;
        }
    }
}

void parse_chain(byte_view b, size_t start, bool filetype, uint32_t max_inode, bool hidden,
                 std::vector<dir_entry>& out, bool* bad, bool dx_root) {
    size_t at = start;
    while (at < b.size()) {
        if (!b.has(at, min_entry)) {
            *bad = true;
            return;
        }
        const uint32_t ino = b.le32(at + L::de_inode);
        size_t rec = b.le16(at + L::de_rec_len);
        if (rec == 0 && b.size() == 65536 && at == 0) rec = 65536;
        const size_t len = name_length(b, at, filetype);
        if (rec < min_entry || rec % 4 || rec > b.size() - at || min_entry + len > rec) {
            *bad = true;
            return;
        }
        if (ino != 0 && len && ino <= max_inode) {
            dir_entry e;
            e.inode = ino;
            e.type = filetype ? b.u8(at + L::de_file_type) : 0;
            e.name = std::string_view(reinterpret_cast<const char*>(b.data() + at + L::de_name), len);
            out.push_back(e);
        }
        const bool is_dotdot = len == 2 && b.equals(at + L::de_name, "..");
        if (hidden && !(dx_root && is_dotdot))
            find_hidden(b, at + align4(min_entry + len), at + rec, filetype, max_inode, out);
        at += rec;
    }
}

// An interior htree node: one empty entry spanning the block (a rec_len of 0 stands for 65536).
bool htree_interior(byte_view b) {
    return b.le32(L::de_inode) == 0 &&
           (b.le16(L::de_rec_len) == b.size() || (b.le16(L::de_rec_len) == 0 && b.size() == 65536));
}

// An htree root: "." and then ".." spanning the rest of the block, its dx_root_info after them.
bool htree_root(byte_view b) {
    return b.u8(L::de_name) == '.' && b.le16(L::de_rec_len) == 12 && b.le16(12 + L::de_rec_len) == b.size() - 12 &&
           b.u8(dx_info_length_at) == dx_info_length;
}

}  // namespace

dir_block_kind parse_dir_block(byte_view b, bool filetype, uint32_t max_inode, bool hidden,
                               std::vector<dir_entry>& out) {
    if (b.size() < 2 * L::de_tail_size) return dir_block_kind::bad;
    if (htree_interior(b)) return dir_block_kind::index_node;
    const bool dx_root = htree_root(b);
    bool bad = false;
    parse_chain(b, 0, filetype, max_inode, hidden, out, &bad, dx_root);
    return bad ? dir_block_kind::bad : dir_block_kind::entries;
}

bool dir_block_checksum_ok(byte_view b, uint32_t inode_seed) {
    // An htree node keeps its checksum in a tail of its own, and what the block
    // held before it became a node stays in its last bytes: a leftover leaf
    // tail there is no checksum of this block. Such nodes are not judged here.
    if (b.size() < 2 * L::de_tail_size || htree_interior(b) || htree_root(b)) return true;
    const size_t tail = b.size() - L::de_tail_size;
    if (b.size() < L::de_tail_size || b.le32(tail) != 0 || b.le16(tail + L::de_rec_len) != L::de_tail_size ||
        b.u8(tail + L::de_file_type) != L::de_tail_type)
        return true;
    return crc32c(inode_seed, b.data(), tail) == b.le32(tail + 8);
}

void parse_inline_dir(byte_view data, bool filetype, uint32_t max_inode, std::vector<dir_entry>& out,
                      uint32_t* parent) {
    *parent = data.le32(0);
    bool bad = false;
    // The i_block part and the attribute part are separate chains; the first ends at 60.
    parse_chain(data.sub(4, std::min<size_t>(data.size(), L::i_block_size) - std::min<size_t>(data.size(), 4)),
                0, filetype, max_inode, false, out, &bad, false);
    if (data.size() > L::i_block_size) {
        bad = false;
        parse_chain(data.tail(L::i_block_size), 0, filetype, max_inode, false, out, &bad, false);
    }
}

}  // namespace qv::ext4
