#include "ext4/ext4_scan.hpp"

#include <sys/mman.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "devices/fd_write.hpp"
#include "devices/crc32c.hpp"
#include "ext4/dir_block.hpp"
#include "ext4/ext4_layout.hpp"

namespace qv::ext4 {

namespace L = layout;

namespace {

constexpr int64_t rank_today = int64_t(1) << 40;        // live folder blocks
constexpr int64_t rank_free_block = rank_today - 1;     // a deleted folder's block as it lies, free
constexpr size_t table_chunk_blocks = 64;
constexpr size_t copy_chunk_blocks = 256;
constexpr size_t max_active_overlaps = 1024;
constexpr uint8_t de_type_file = 1, de_type_dir = 2, de_type_symlink = 7;
constexpr size_t text_probe_bytes = 512;
constexpr size_t max_reserved_inodes = size_t(1) << 20;
constexpr uint64_t dense_slots_per_inode = 16;  // 64 bytes of table per kept inode at most

struct name_seen {
    uint32_t parent = 0;  // folder inode; 0 unknown
    uint8_t type = 0;
    bool hidden = false;
    bool matches = false;  // the entry's type is the inode's
    int64_t rank = 0;
    std::string name;
};

// What only some kept inodes need: the whole inode (block map, generation, block count),
// its raw bytes where the data is inline, and its mapped blocks. Live files have none
// unless their data is inline: they are mapped when copied.
struct inode_detail {
    inode_fields f;
    std::vector<uint8_t> raw;  // kept for inline data only
    std::vector<block_run> runs;
    uint64_t tree_blocks = 0;
};

// Large buffers of the scan straight from the kernel and back to it when freed: from the
// C library's heap, a freed buffer of tens of MiB stays with the process after a scan (its
// threshold for asking the kernel rises with each such buffer freed). Elements made
// without arguments are default-initialised: the kernel's pages come zeroed, and bytes
// about to be read into are not written twice.
template <typename T>
struct mapped_allocator {
    using value_type = T;
    static constexpr size_t mapped_from = size_t(1) << 20;
    mapped_allocator() = default;
    template <typename U>
    mapped_allocator(const mapped_allocator<U>&) {}
    T* allocate(size_t n) {
        const size_t bytes = n * sizeof(T);
        if (bytes < mapped_from) return std::allocator<T>().allocate(n);
        void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t n) {
        const size_t bytes = n * sizeof(T);
        if (bytes < mapped_from) std::allocator<T>().deallocate(p, n);
        else munmap(p, bytes);
    }
    template <typename U>
    void construct(U* p) {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... A>
    void construct(U* p, A&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<A>(args)...);
    }
    template <typename U>
    bool operator==(const mapped_allocator<U>&) const { return true; }
};

// The copy of an inode the scan settled on, and the best name an entry gave it. Small, as
// there is one per file: what the name step reads (type, name) shares the first cache line.
struct chosen_inode {
    static constexpr uint32_t no_detail = UINT32_MAX;
    uint32_t ino = 0;
    uint16_t mode = 0;
    bool live = false;
    bool checksum_ok = true;
    bool mapped = false;
    bool named = false;
    uint32_t flags = 0;
    name_seen name;
    uint32_t sequence = 0;  // 0: the inode table today
    uint32_t detail = no_detail;  // position in inode_list::details
    uint64_t size = 0;
    int64_t mtime = 0, atime = 0, ctime = 0, crtime = 0;

    bool directory() const { return (mode & L::mode_type_mask) == L::mode_dir; }
    bool symlink() const { return (mode & L::mode_type_mask) == L::mode_symlink; }
    bool inline_data() const { return flags & L::flag_inline_data; }
    // Takes what every record needs from an inode.
    void set(const inode_brief& f) {
        mode = f.mode;
        flags = f.flags;
        size = f.size;
        mtime = f.mtime;
        atime = f.atime;
        ctime = f.ctime;
        crtime = f.crtime;
    }
};

// The inodes the scan keeps, in ascending numbers (the order the records come out in),
// found by binary search over a packed copy of their numbers: far cheaper than a hash
// map for a hundred thousand files, and the numbers stay in the processor's cache.
// Where the kept inodes are dense enough (a few table slots per kept inode), a table by
// inode number replaces the search: folder entries by the million ask it.
struct inode_list {
    std::vector<chosen_inode, mapped_allocator<chosen_inode>> all;
    std::vector<inode_detail> details;  // by chosen_inode::detail
    std::vector<uint32_t> numbers;
    std::vector<uint32_t> slot;  // inode number -> position + 1 in all; empty when sparse
    // By position: the rank of a name that cannot be beaten but by a newer one (it matches
    // the inode's type and has a folder), or none_yet. Packed, so that entries of old
    // folder copies are turned away without touching the inode records.
    std::vector<int64_t> settled;
    static constexpr int64_t none_yet = INT64_MIN;
    // By position: is_live and is_folder bits, so that sweeps for the few records a step
    // wants do not pull every record through the cache.
    std::vector<uint8_t> kind;
    static constexpr uint8_t is_live = 1, is_folder = 2;

    // Appends an inode in number order; numbers and kind follow along, for index_appended.
    chosen_inode& append(uint32_t ino, const inode_fields& f, bool live) {
        chosen_inode& c = all.emplace_back();
        c.ino = ino;
        c.set(f);
        c.live = live;
        if (!live || !f.regular() || f.inline_data()) give_detail(c, f);
        numbers.push_back(ino);
        kind.push_back(uint8_t((live ? is_live : 0) | (f.directory() ? is_folder : 0)));
        return c;
    }
    // The same for a live file with a block map (no detail needed).
    chosen_inode& append_live_file(uint32_t ino, const inode_brief& f) {
        chosen_inode& c = all.emplace_back();
        c.ino = ino;
        c.set(f);
        c.live = true;
        numbers.push_back(ino);
        kind.push_back(is_live);
        return c;
    }
    // Sets c's detail to f, with nothing else kept yet; c's detail is made where it has none.
    inode_detail& give_detail(chosen_inode& c, const inode_fields& f) {
        if (c.detail == chosen_inode::no_detail) {
            c.detail = uint32_t(details.size());
            details.emplace_back().f = f;
            return details.back();
        }
        inode_detail& d = details[c.detail];
        d.f = f;
        d.raw.clear();
        d.runs.clear();
        d.tree_blocks = 0;
        return d;
    }
    inode_detail& detail(const chosen_inode& c) { return details[c.detail]; }
    // After all changed (before the names: nothing is settled yet).
    void index() {
        numbers.resize(all.size());
        for (size_t i = 0; i < all.size(); ++i) numbers[i] = all[i].ino;
        kind.assign(all.size(), 0);
        for (size_t i = 0; i < all.size(); ++i)
            kind[i] = (all[i].live ? is_live : 0) | (all[i].directory() ? is_folder : 0);
        index_appended();
    }
    // After appends only, before the names: the records are not swept again.
    void index_appended() {
        settled.assign(all.size(), none_yet);
        slot.clear();
        const uint64_t highest = numbers.empty() ? 0 : numbers.back();
        if (highest <= dense_slots_per_inode * uint64_t(all.size())) {
            slot.assign(size_t(highest) + 1, 0);
            for (size_t i = 0; i < all.size(); ++i) slot[all[i].ino] = uint32_t(i + 1);
        }
    }
    // Position of ino in all, or -1.
    ptrdiff_t position(uint32_t ino) const {
        if (!slot.empty()) return ino < slot.size() ? ptrdiff_t(slot[ino]) - 1 : -1;
        auto it = std::lower_bound(numbers.begin(), numbers.end(), ino);
        return it != numbers.end() && *it == ino ? it - numbers.begin() : -1;
    }
    chosen_inode* find(uint32_t ino) {
        const ptrdiff_t at = position(ino);
        return at < 0 ? nullptr : &all[size_t(at)];
    }
};

// Asks the kernel for 2 MiB pages under a large buffer about to be filled: the inode list
// and the records of a large volume take tens of MiB, and one fault per 4 KiB page cost
// more than filling them.
constexpr uintptr_t huge_page = uintptr_t(2) << 20;
void prefer_huge_pages(const void* data, size_t bytes) {
    const uintptr_t from = (reinterpret_cast<uintptr_t>(data) + huge_page - 1) & ~(huge_page - 1);
    const uintptr_t to = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(huge_page - 1);
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);  // a hint: failure changes nothing
}

bool type_matches(uint8_t type, uint16_t mode) {
    if (type == 0) return true;
    const uint16_t t = mode & L::mode_type_mask;
    if (type == de_type_dir) return t == L::mode_dir;
    if (type == de_type_file) return t == L::mode_file;
    if (type == de_type_symlink) return t == L::mode_symlink;
    return t != L::mode_dir && t != L::mode_file && t != L::mode_symlink;
}

bool has_block_pointers(const inode_fields& f) {
    if (f.inline_data()) return f.size > 0;
    byte_view b(f.block, sizeof f.block);
    if (f.extents()) return b.le16(L::eh_magic) == L::extent_magic && b.le16(L::eh_entries) > 0;
    for (size_t i = 0; i < L::i_block_size; i += 4)
        if (b.le32(i)) return true;
    return false;
}

// A symlink whose target sits in i_block.
bool fast_symlink(const inode_fields& f) {
    return f.symlink() && !f.inline_data() && f.size < L::i_block_size && !f.extents();
}

uint64_t data_blocks(const std::vector<block_run>& runs) {
    uint64_t n = 0;
    for (const block_run& r : runs) n += r.count;
    return n;
}

bool plausible_text(const uint8_t* d, size_t n) {
    if (n == 0) return false;
    // Every byte printable or a line break or tab (a zero byte is neither).
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i top = _mm_set1_epi8(0x1F), tab = _mm_set1_epi8('\t'), lf = _mm_set1_epi8('\n'),
                  cr = _mm_set1_epi8('\r');
    for (; i + 16 <= n; i += 16) {  // sixteen bytes at a time
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
        const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(v, top), v);  // v <= 0x1F
        const __m128i allowed =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, tab), _mm_cmpeq_epi8(v, lf)), _mm_cmpeq_epi8(v, cr));
        if (_mm_movemask_epi8(_mm_andnot_si128(allowed, control))) return false;
    }
#endif
    for (; i < n; ++i)
        if (d[i] < 0x20 && d[i] != '\n' && d[i] != '\r' && d[i] != '\t') return false;
    return true;
}

}  // namespace

std::string extension_from_content(const uint8_t* d, size_t n) {
    auto starts = [&](const char* magic, size_t len, size_t at = 0) {
        return n >= at + len && std::memcmp(d + at, magic, len) == 0;
    };
    if (starts("\xFF\xD8\xFF", 3)) return "jpg";
    if (starts("\x89PNG\r\n\x1A\n", 8)) return "png";
    if (starts("GIF8", 4)) return "gif";
    if (starts("%PDF-", 5)) return "pdf";
    if (starts("PK\x03\x04", 4)) return "zip";
    if (starts("\x1F\x8B", 2)) return "gz";
    if (starts("BZh", 3)) return "bz2";
    if (starts("\xFD" "7zXZ", 5)) return "xz";
    if (starts("7z\xBC\xAF\x27\x1C", 6)) return "7z";
    if (starts("SQLite format 3", 15)) return "sqlite";
    if (starts("ID3", 3)) return "mp3";
    if (starts("ftyp", 4, 4)) return "mp4";
    if (starts("RIFF", 4) && starts("WAVE", 4, 8)) return "wav";
    if (starts("OggS", 4)) return "ogg";
    if (starts("\x7F" "ELF", 4)) return "elf";
    if (plausible_text(d, std::min(n, text_probe_bytes))) return "txt";
    return {};
}

scan_result scan(volume& vol, const scan_options& options) {
    scan_result r;
    const superblock_info& sb = vol.super();
    const uint32_t bs = sb.block_size;
    auto step = [&](double f) {
        if (!r.stopped && options.keep_going && !options.keep_going(std::min(f, 1.0))) r.stopped = true;
        return !r.stopped;
    };

    // The journal first: the rest asks it for old copies.
    std::unique_ptr<journal> jr;
    r.journal_status = journal::open(vol, &jr);
    if (jr) {
        if (!jr->walk([&](double f) { return step(0.3 * f); })) return r;
        r.journal = jr->stats();
    }

    // Today's inode tables.
    inode_list list;
    auto& inodes = list.all;
    inodes.reserve(std::min<size_t>(sb.inodes_count, max_reserved_inodes));  // pages only count once touched
    list.numbers.reserve(inodes.capacity());
    list.kind.reserve(inodes.capacity());
    list.details.reserve(inodes.capacity() / 8);  // folders, links and deleted files: mostly far fewer
    prefer_huge_pages(inodes.data(), inodes.capacity() * sizeof(chosen_inode));
    // The root folder is read like any other.
    {
        std::vector<uint8_t> raw;
        if (vol.read_inode(L::root_inode, raw)) {
            const inode_fields f = parse_inode(byte_view(raw.data(), raw.size()));
            if (f.directory()) {
                chosen_inode& root = list.append(L::root_inode, f, true);  // first: below every other inode number
                inode_detail& d = list.detail(root);
                if (f.inline_data()) d.raw = raw;
                else {
                    d.runs = vol.map_blocks(L::root_inode, f, (f.size + bs - 1) / bs);
                    root.mapped = true;
                }
            }
        }
    }
    const uint32_t per_block = bs / sb.inode_size;
    const uint64_t table_blocks = (uint64_t(sb.inodes_per_group) * sb.inode_size + bs - 1) / bs;
    std::vector<uint8_t> table;
    // Today's table blocks that the log holds copies of: the CRC of their bytes (so that a
    // copy holding the same bytes is known by its tag's checksum, unread), and whether an
    // inode in them is in use but not allocated (the one case where such a copy matters).
    struct home_block {
        uint32_t first_ino = 0;
        uint32_t plain_crc = 0;
        bool unallocated_in_use = false;
    };
    std::unordered_map<uint64_t, home_block> homes;
    // The raw CRC of each inode that needs one (a checksum to check, or a home block to sum)
    // is taken once, three inodes at a time.
    const auto sums = std::make_unique<inode_crcs>(sb);
    constexpr uint32_t no_crc = UINT32_MAX;
    std::vector<const uint8_t*> crc_of;
    std::vector<uint32_t> crc_at, crcs;  // crc_at: by slot in the chunk, position in crcs or no_crc
    std::vector<uint8_t> is_home;        // by block of the chunk
    for (uint32_t g = 0; g < sb.group_count; ++g) {
        if (!step(0.3 + 0.3 * g / sb.group_count)) return r;
        const group_info& gi = vol.groups()[g];
        if (!gi.inode_table || (gi.flags & L::bg_inode_uninit)) continue;
        for (uint64_t tb = 0; tb < table_blocks; tb += table_chunk_blocks) {
            const uint64_t n = std::min<uint64_t>(table_chunk_blocks, table_blocks - tb);
            table.resize(size_t(n) * bs);
            if (!vol.device().read_exact((gi.inode_table + tb) * bs, table.data(), table.size())) {
                vol.problems().unreadable_blocks += n;
                if (!vol.device().medium_present()) return r;
                continue;
            }
            is_home.assign(size_t(n), 0);
            for (uint64_t k = 0; jr && k < n; ++k) is_home[k] = !jr->copies_of(gi.inode_table + tb + k).empty();
            const size_t slots = size_t(n) * per_block;
            crc_of.clear();
            crc_at.assign(slots, no_crc);
            for (size_t i = 0; i < slots; ++i) {
                const uint8_t* raw = table.data() + i * sb.inode_size;
                bool want = is_home[i / per_block];
                if (!want && sb.metadata_csum()) {
                    // Whatever the inode loop below may keep.
                    const uint64_t index = tb * per_block + i;
                    const uint32_t ino = uint32_t(uint64_t(g) * sb.inodes_per_group + index + 1);
                    want = index < sb.inodes_per_group && ino >= sb.first_ino &&
                           (vol.inode_in_use(ino) || byte_view(raw, sb.inode_size).le16(L::i_mode) != 0);
                }
                if (!want) continue;
                crc_at[i] = uint32_t(crc_of.size());
                crc_of.push_back(raw);
            }
            crcs.resize(crc_of.size());
            sums->raw(crc_of.data(), crc_of.size(), crcs.data());
            for (uint64_t k = 0; jr && k < n; ++k) {
                const uint64_t b = gi.inode_table + tb + k;
                if (!is_home[k]) continue;
                home_block h;
                h.first_ino = uint32_t(uint64_t(g) * sb.inodes_per_group + (tb + k) * per_block + 1);
                for (uint32_t i = 0; i < per_block; ++i)
                    h.plain_crc = sums->append(h.plain_crc, crcs[crc_at[size_t(k) * per_block + i]]);
                for (uint32_t i = 0; i < per_block; ++i) {
                    const uint32_t ino = h.first_ino + i;
                    if (ino < sb.first_ino || ino > sb.inodes_count || vol.inode_in_use(ino)) continue;
                    byte_view raw(table.data() + size_t(k) * bs + size_t(i) * sb.inode_size, sb.inode_size);
                    if (raw.le16(L::i_mode) != 0 && raw.le16(L::i_links_count) != 0 && raw.le32(L::i_dtime) == 0)
                        h.unallocated_in_use = true;
                }
                homes.emplace(b, h);
            }
            for (uint64_t i = 0; i < n * per_block; ++i) {
                const uint64_t index = tb * per_block + i;
                if (index >= sb.inodes_per_group) break;
                const uint32_t ino = uint32_t(uint64_t(g) * sb.inodes_per_group + index + 1);
                if (ino < sb.first_ino) continue;  // reserved: root is read by itself below
                byte_view raw(table.data() + size_t(i) * sb.inode_size, sb.inode_size);
                const bool allocated = vol.inode_in_use(ino);
                if (!allocated && raw.le16(L::i_mode) == 0) continue;  // never used, or cleared
                ++r.entries_read;
                const auto check = [&](chosen_inode& c) {
                    c.checksum_ok = crc_at[i] == no_crc ? inode_checksum_ok(sb, ino, raw)
                                                        : sums->checksum_ok(ino, raw, crcs[crc_at[i]]);
                    if (!c.checksum_ok) ++vol.problems().bad_checksums;
                };
                const inode_brief brief = parse_inode_brief(raw);
                if (allocated && brief.in_use() && brief.regular() && !brief.inline_data()) {
                    check(list.append_live_file(ino, brief));  // most inodes: the rest of them is not kept
                    continue;
                }
                inode_fields f = parse_inode(raw);
                const bool live = allocated && f.in_use();
                // ext2 leaves block pointers in a deleted inode.
                if (!live && !(f.mode != 0 && (has_block_pointers(f) || f.dtime != 0))) continue;
                chosen_inode& c = list.append(ino, f, live);
                check(c);
                if (f.inline_data()) list.detail(c).raw.assign(raw.data(), raw.data() + raw.size());
            }
        }
    }

    list.index_appended();
    // Deleted inodes from the newest journal copy of their table block in which they were in use.
    std::unordered_set<uint64_t> metadata_blocks;  // inode tables and bitmaps: never folder blocks
    for (const group_info& gi : vol.groups()) {
        metadata_blocks.insert(gi.block_bitmap);
        metadata_blocks.insert(gi.inode_bitmap);
    }
    std::vector<uint8_t> buf;
    struct inline_entry {
        uint32_t folder;
        uint32_t sequence;
        dir_entry entry;   // its name points into name
        std::string name;  // the entry's name, kept: the inode copy it came from is gone
    };
    std::vector<inline_entry> inline_entries;  // from journal copies of inline folders
    if (jr) {
        std::vector<chosen_inode> added;  // deleted inodes the tables no longer show
        // Inline folders keep entries in their inodes: then every copy is read. Otherwise a
        // table block's copies (newest first) are read until each inode not live today has
        // its newest copy in use, which is mostly the first copy before the deletion.
        const bool inline_folders = sb.incompat & L::incompat_inline_data;
        // A table block the log holds copies of, and where its inodes stand.
        struct table_copies {
            uint32_t first_ino = 0;
            const std::vector<journal_copy>* copies = nullptr;
            size_t next = 0;     // its next copy to read
            size_t pending = 0;  // inodes not live today still without a copy in use
            size_t flags = 0;    // where its per-inode "resolved" flags start in resolved
            const home_block* home = nullptr;  // today's bytes, where they tell copies apart
        };
        std::vector<table_copies> tables;
        std::vector<uint8_t> resolved;
        size_t done = 0;
        for (const auto& [block, copies] : jr->all_copies()) {
            if (++done % 1024 == 0 && !step(0.6 + 0.02 * done / jr->all_copies().size())) return r;
            uint32_t first_ino;
            if (!vol.inode_table_block(block, &first_ino)) continue;
            metadata_blocks.insert(block);
            table_copies t;
            t.first_ino = first_ino;
            t.copies = &copies;
            t.flags = resolved.size();
            auto home = homes.find(block);
            if (home != homes.end() && home->second.first_ino == first_ino && !home->second.unallocated_in_use)
                t.home = &home->second;
            for (uint32_t i = 0; i < per_block; ++i) {
                const uint32_t ino = first_ino + i;
                const ptrdiff_t today = list.position(ino);
                const bool settled = ino < sb.first_ino || ino > sb.inodes_count ||
                                     (today >= 0 && (list.kind[size_t(today)] & inode_list::is_live));
                resolved.push_back(settled);
                if (!settled) ++t.pending;
            }
            if (t.pending || inline_folders) tables.push_back(t);
            else resolved.resize(t.flags);
        }
        // Takes what copy c of table block t holds.
        auto take = [&](table_copies& t, const journal_copy& c, const uint8_t* bytes) {
            uint8_t* settled = resolved.data() + t.flags;
            for (uint32_t i = 0; i < per_block; ++i) {
                const uint32_t ino = t.first_ino + i;
                if (ino < sb.first_ino || ino > sb.inodes_count) continue;
                if (settled[i] && !inline_folders) continue;
                chosen_inode* today = list.find(ino);
                byte_view raw(bytes + size_t(i) * sb.inode_size, sb.inode_size);
                inode_fields f = parse_inode(raw);
                if (!f.in_use()) continue;
                if (f.directory() && f.inline_data()) {
                    // A small folder's entries live in its inode: this copy holds old ones.
                    const std::vector<uint8_t> data = vol.inline_bytes(raw, f);
                    std::vector<dir_entry> found;
                    uint32_t parent = 0;
                    parse_inline_dir(byte_view(data.data(), data.size()), sb.has_filetype(), sb.inodes_count,
                                     found, &parent);
                    for (const dir_entry& e : found) inline_entries.push_back({ino, c.sequence, e, std::string(e.name)});
                }
                if (settled[i]) continue;
                chosen_inode ci;
                ci.ino = ino;
                ci.set(f);
                ci.sequence = c.sequence;
                ci.checksum_ok = inode_checksum_ok(sb, ino, raw);
                chosen_inode& into = today ? *today : added.emplace_back();
                ci.detail = into.detail;  // a slot it had is taken again
                into = std::move(ci);
                inode_detail& d = list.give_detail(into, f);
                if (f.inline_data()) d.raw.assign(raw.data(), raw.data() + raw.size());
                if (today) list.kind[size_t(today - inodes.data())] = f.directory() ? inode_list::is_folder : 0;
                settled[i] = 1;
                --t.pending;
            }
        };
        if (inline_folders) {
            // Inline folders keep entries in their inodes: every copy is read, block by block.
            done = 0;
            for (table_copies& t : tables) {
                if (++done % 256 == 0 && !step(0.62 + 0.08 * done / tables.size())) return r;
                for (const journal_copy& c : *t.copies)
                    if (jr->read_copy(c, buf)) take(t, c, buf.data());
            }
        } else {
            // A table block's copies are read, newest first, until each inode not live today
            // has its newest copy in use (mostly the first copy before the deletion). In rounds:
            // every unsettled block's next copy at once, so that copies lying next to each
            // other in the log come in one read. A copy in which no unsettled inode is in use
            // settles nothing: its checksum is not computed.
            std::vector<size_t> active(tables.size());
            for (size_t i = 0; i < active.size(); ++i) active[i] = i;
            std::vector<const journal_copy*> want;
            std::vector<size_t> want_of;  // by want: its table block
            size_t handed = 0;
            const double expected = 2.0 * double(tables.size()) + 1;  // copies read, about
            auto wanted = [&](size_t i, const uint8_t* bytes) {
                const table_copies& t = tables[want_of[i]];
                const uint8_t* settled = resolved.data() + t.flags;
                for (uint32_t k = 0; k < per_block; ++k) {
                    if (settled[k]) continue;
                    byte_view raw(bytes + size_t(k) * sb.inode_size, sb.inode_size);
                    if (raw.le16(L::i_mode) != 0 && raw.le16(L::i_links_count) != 0 && raw.le32(L::i_dtime) == 0)
                        return true;
                }
                return false;
            };
            while (!active.empty()) {
                want.clear();
                want_of.clear();
                for (size_t a : active) {
                    const journal_copy& c = (*tables[a].copies)[tables[a].next++];
                    // The same bytes as today's block, where no inode not live is in use: it
                    // settles nothing (mostly the copy the deletion wrote), so it is not read.
                    if (tables[a].home && jr->copy_matches(c, tables[a].home->plain_crc)) continue;
                    want.push_back(&c);
                    want_of.push_back(a);
                }
                const bool more = jr->read_copies(want, wanted, [&](size_t i, const uint8_t* bytes) {
                    take(tables[want_of[i]], *want[i], bytes);
                    return ++handed % 256 != 0 || step(std::min(0.7, 0.62 + 0.08 * double(handed) / expected));
                });
                if (!more) return r;
                std::erase_if(active, [&](size_t a) {
                    return tables[a].pending == 0 || tables[a].next == tables[a].copies->size();
                });
            }
        }
        if (!added.empty()) {
            std::sort(added.begin(), added.end(), [](const chosen_inode& a, const chosen_inode& b) { return a.ino < b.ino; });
            const size_t before = inodes.size();
            inodes.insert(inodes.end(), std::make_move_iterator(added.begin()), std::make_move_iterator(added.end()));
            std::inplace_merge(inodes.begin(), inodes.begin() + std::ptrdiff_t(before), inodes.end(),
                               [](const chosen_inode& a, const chosen_inode& b) { return a.ino < b.ino; });
            list.index();
        }
    }

    // Block maps of folders and deleted files; live files are mapped when copied.
    auto source_for = [&](const chosen_inode& c) -> volume::block_source {
        if (!jr || c.sequence == 0) return nullptr;
        // A map held whole in the inode reads no blocks.
        const inode_fields& f = list.detail(c).f;
        if (f.extents() && byte_view(f.block, sizeof f.block).le16(L::eh_depth) == 0) return nullptr;
        const uint32_t seq = c.sequence;
        journal* j = jr.get();
        return [&vol, j, seq](uint64_t b, std::vector<uint8_t>& out) {
            for (const journal_copy& jc : j->copies_of(b))
                if (int32_t(jc.sequence - seq) <= 0 && j->read_copy(jc, out)) return true;
            return vol.read_block(b, out);
        };
    };
    size_t done = 0;
    for (size_t at = 0; at < inodes.size(); ++at) {
        if (++done % 1024 == 0 && !step(0.7 + 0.1 * done / inodes.size())) return r;
        if (list.kind[at] == inode_list::is_live) continue;  // a live file
        chosen_inode& c = inodes[at];
        if ((c.live && !c.directory()) || c.mapped || c.inline_data()) continue;
        inode_detail& d = list.detail(c);
        if (fast_symlink(d.f)) continue;
        d.runs = vol.map_blocks(c.ino, d.f, (c.size + bs - 1) / bs, source_for(c), &d.tree_blocks);
        c.mapped = true;
    }

    // Names: entries of live folders, of deleted folders' free blocks, and of journal copies.
    std::unordered_map<uint32_t, uint32_t> parent_hint;  // folder -> its ".." from a folder block
    std::unordered_map<uint64_t, uint32_t> owner;        // folder block -> folder inode
    // A folder block read today that the log holds copies of: most copies are the same bytes
    // (the last change before today), whose entries lose to today's anyway.
    struct read_today {
        const uint8_t* bytes = nullptr;  // a block's size, in today_bytes
        size_t entries = 0;        // entries its parse gave
        bool parsed = false;       // a block of entries (the copies' parse would be used)
        bool same_folder = false;  // a copy would give its entries to the same folder (no "." naming another)
    };
    std::unordered_map<uint64_t, read_today> today_blocks;
    // In chunks that never move, of 2 MiB pages where the kernel has them.
    constexpr size_t today_chunk = size_t(4) << 20;
    std::vector<std::vector<uint8_t, mapped_allocator<uint8_t>>> today_bytes;
    auto seen = [&](uint32_t parent, const dir_entry& e, int64_t rank) {
        ++r.entries_read;
        if (e.name == ".") return;
        if (e.name == "..") {
            if (parent && e.inode != parent) parent_hint.emplace(parent, e.inode);
            return;
        }
        if (e.inode == L::root_inode || e.inode < sb.first_ino) return;
        const ptrdiff_t at = list.position(e.inode);
        if (at < 0) return;  // no inode to give the name to
        // A name that matches the inode's type, under a known folder, from a newer
        // source, cannot lose: most entries of journal copies end here.
        if (list.settled[size_t(at)] > rank) return;
        chosen_inode* c = &list.all[size_t(at)];
        const bool match = type_matches(e.type, c->mode);
        auto take = [&] {
            name_seen& n = c->name;
            n.parent = parent;
            n.type = e.type;
            n.hidden = e.hidden;
            n.matches = match;
            n.rank = rank;
            n.name.assign(e.name);
            c->named = true;
            if (match && parent) list.settled[size_t(at)] = std::max(list.settled[size_t(at)], rank);
        };
        if (!c->named) {
            take();
            return;
        }
        const name_seen& o = c->name;
        const bool omatch = o.matches;
        auto key = [](bool m, int64_t rank, uint32_t parent, bool hidden) {
            return std::make_tuple(m, parent != 0, rank, !hidden);
        };
        if (key(match, rank, parent, e.hidden) > key(omatch, o.rank, o.parent, o.hidden)) take();
    };
    std::vector<dir_entry> entries;
    for (int pass = 0; pass < 2; ++pass) {  // live folders first: they own their blocks
        for (size_t at = 0; at < inodes.size(); ++at) {
            if (!(list.kind[at] & inode_list::is_folder)) continue;
            chosen_inode& c = inodes[at];
            const uint32_t ino = c.ino;
            if (!c.directory() || c.live != (pass == 0)) continue;
            const int64_t rank = c.live ? rank_today : rank_free_block;
            const inode_detail& d = list.detail(c);
            if (c.inline_data()) {
                const std::vector<uint8_t> data = vol.inline_bytes(byte_view(d.raw.data(), d.raw.size()), d.f);
                entries.clear();
                uint32_t parent = 0;
                parse_inline_dir(byte_view(data.data(), data.size()), sb.has_filetype(), sb.inodes_count, entries,
                                 &parent);
                if (parent && parent != ino) parent_hint.emplace(ino, parent);
                for (const dir_entry& e : entries) seen(ino, e, c.live ? rank_today : int64_t(c.sequence));
                continue;
            }
            for (const block_run& run : d.runs) {
                if (run.zero) continue;
                for (uint64_t k = 0; k < run.count; ++k) {
                    const uint64_t b = run.physical + k;
                    if (!owner.emplace(b, ino).second) continue;
                    if (!c.live && vol.block_in_use(b)) continue;  // reused since: not this folder's any more
                    // A block the log holds copies of is read straight into where it is kept
                    // for them (most hold the same bytes).
                    const bool keep = jr && !jr->copies_of(b).empty();
                    const uint8_t* data = nullptr;
                    if (keep) {
                        if (today_bytes.empty() || today_bytes.back().capacity() - today_bytes.back().size() < bs) {
                            today_bytes.emplace_back().reserve(std::max<size_t>(today_chunk, bs));
                            prefer_huge_pages(today_bytes.back().data(), today_bytes.back().capacity());
                        }
                        auto& chunk = today_bytes.back();
                        const size_t at = chunk.size();
                        chunk.resize(at + bs);
                        if (!vol.read_block(b, chunk.data() + at)) {
                            chunk.resize(at);
                            continue;
                        }
                        data = chunk.data() + at;
                    } else {
                        if (!vol.read_block(b, buf)) continue;
                        data = buf.data();
                    }
                    entries.clear();
                    byte_view view(data, bs);
                    const dir_block_kind kind =
                        parse_dir_block(view, sb.has_filetype(), sb.inodes_count, true, entries);
                    if (kind == dir_block_kind::bad) ++vol.problems().bad_structures;
                    if (keep) {
                        read_today& t = today_blocks[b];
                        t.bytes = data;
                        t.entries = entries.size();
                        t.parsed = kind == dir_block_kind::entries;
                        t.same_folder = entries.empty() || entries[0].name != "." || entries[0].hidden ||
                                        entries[0].inode == ino;
                    }
                    if (c.live && sb.metadata_csum()) {
                        // The tail's seed is the folder inode's own.
                        uint8_t le[4];
                        put_le32(le, ino);
                        uint32_t seed = crc32c(sb.csum_seed, le, 4);
                        put_le32(le, d.f.generation);
                        seed = crc32c(seed, le, 4);
                        if (!dir_block_checksum_ok(view, seed)) ++vol.problems().bad_checksums;
                    }
                    for (const dir_entry& e : entries) seen(ino, e, rank);
                }
            }
        }
    }
    for (inline_entry& e : inline_entries) {
        e.entry.name = e.name;
        seen(e.folder, e.entry, e.sequence);
    }
    if (jr) {
        done = 0;
        for (const auto& [block, copies] : jr->all_copies()) {
            if (++done % 256 == 0 && !step(0.8 + 0.15 * done / jr->all_copies().size())) return r;
            if (metadata_blocks.count(block)) continue;
            auto own = owner.find(block);
            auto today = today_blocks.find(block);
            const read_today* same = today != today_blocks.end() && today->second.same_folder ? &today->second : nullptr;
            for (const journal_copy& jc : copies) {
                if (!jr->read_copy(jc, buf)) continue;
                // Today's bytes, already read under the same folder and a rank no copy reaches:
                // its entries cannot name anything; they are only counted.
                if (same && std::memcmp(buf.data(), same->bytes, buf.size()) == 0) {
                    if (same->parsed) r.entries_read += same->entries;
                    continue;
                }
                entries.clear();
                if (parse_dir_block(byte_view(buf.data(), buf.size()), sb.has_filetype(), sb.inodes_count, true,
                                    entries) != dir_block_kind::entries)
                    continue;
                uint32_t dir = own != owner.end() ? own->second : 0;
                if (!entries.empty() && entries[0].name == "." && !entries[0].hidden) dir = entries[0].inode;
                for (const dir_entry& e : entries) seen(dir, e, jc.sequence);
            }
        }
    }
    if (!step(0.95)) return r;

    // Records.
    auto is_folder = [&](uint32_t ino) {
        const ptrdiff_t at = list.position(ino);
        return at >= 0 && (list.kind[size_t(at)] & inode_list::is_folder);
    };
    // Each record is written once: what the later steps look at is gathered on the way,
    // packed (ids and parents for the walks up the folder chains, the deleted files' block
    // spans), so that they do not sweep the records again.
    struct span {
        uint64_t start, end;
        uint32_t sequence;
        size_t file;
    };
    std::vector<span> spans;
    std::vector<uint64_t> ids, parents;
    ids.reserve(inodes.size());
    parents.reserve(inodes.size());
    r.files.reserve(inodes.size() + 1);
    prefer_huge_pages(r.files.data(), r.files.capacity() * sizeof(found_file));
    for (chosen_inode& c : inodes) {
        const uint32_t ino = c.ino;
        if (ino == L::root_inode) continue;
        if (c.live && !c.directory() && !options.live_files) continue;
        inode_detail* d = c.detail == chosen_inode::no_detail ? nullptr : &list.detail(c);
        // A deleted inode as it lies today, cleared by the kernel and named nowhere, holds nothing.
        if (!c.live && c.sequence == 0 && !has_block_pointers(d->f) && !c.named) continue;
        const size_t at = r.files.size();
        found_file& f = r.files.emplace_back();  // filled in place
        f.id = ino;
        f.size = c.size;
        f.mtime = c.mtime;
        f.atime = c.atime;
        f.ctime = c.ctime;
        f.crtime = c.crtime;
        f.mode = c.mode;
        f.deleted = !c.live;
        f.directory = c.directory();
        f.symlink = c.symlink();
        f.doubtful = !c.checksum_ok;
        f.sequence = c.sequence;
        if (c.inline_data()) {
            f.is_inline = true;
            f.inline_data = vol.inline_bytes(byte_view(d->raw.data(), d->raw.size()), d->f);
        } else if (c.mapped) {
            f.runs = std::move(d->runs);
        }
        if (f.symlink) {
            if (fast_symlink(d->f)) {
                f.symlink_target.assign(reinterpret_cast<const char*>(d->f.block), size_t(c.size));
            } else if (f.is_inline) {
                f.symlink_target.assign(f.inline_data.begin(), f.inline_data.end());
            } else if (!f.runs.empty() && !f.runs[0].zero && f.runs[0].logical == 0 &&
                       vol.read_block(f.runs[0].physical, buf)) {
                f.symlink_target.assign(reinterpret_cast<const char*>(buf.data()),
                                        std::min<size_t>(buf.size(), size_t(c.size)));
            }
        }
        uint32_t parent = 0;
        if (c.named) {
            f.name = std::move(c.name.name);
            f.named = true;
            parent = c.name.parent;
        } else {
            auto h = parent_hint.find(ino);
            if (h != parent_hint.end()) parent = h->second;
            f.name = "inode " + std::to_string(ino);
            if (!f.directory && !f.symlink) {
                std::string ext;
                if (f.is_inline) ext = extension_from_content(f.inline_data.data(), f.inline_data.size());
                else if (!f.runs.empty() && !f.runs[0].zero && f.runs[0].logical == 0 &&
                         vol.read_block(f.runs[0].physical, buf, std::min<uint64_t>(f.size, text_probe_bytes)))
                    ext = extension_from_content(buf.data(), buf.size());
                if (!ext.empty()) f.name += "." + ext;
            }
            ++r.unnamed;
        }
        if (parent == L::root_inode) f.parent = 0;
        else if (parent && parent != ino && is_folder(parent)) f.parent = parent;
        else f.parent = lost_files_id;
        // State.
        if (c.live) {
            f.state = file_state::intact;
            ++r.live;
        } else {
            ++r.deleted;
            f.state = file_state::intact;
            if (!f.is_inline && !fast_symlink(d->f) && f.size > 0) {
                const uint64_t mapped = data_blocks(f.runs);
                // The inode counts every block it holds: data, tree blocks and an attribute block.
                const uint64_t allocated = d->f.blocks_512 * 512 / bs;
                const uint64_t accounted = mapped + d->tree_blocks + (d->f.file_acl ? 1 : 0);
                if (mapped == 0 || accounted < allocated || f.size / bs > sb.blocks_count)
                    f.state = file_state::damaged;
                for (const block_run& run : f.runs) {
                    if (run.zero || f.state != file_state::intact) continue;
                    for (uint64_t k = 0; k < run.count; ++k)
                        if (vol.block_in_use(run.physical + k)) {
                            f.state = file_state::overwritten;
                            break;
                        }
                }
            }
        }
        if (f.deleted)
            for (const block_run& run : f.runs)
                if (!run.zero) spans.push_back({run.physical, run.physical + run.count, f.sequence, at});
        ids.push_back(f.id);
        parents.push_back(f.parent);
    }

    // Parents that are not listed, and loops in the folder chain, go to "Lost files".
    // The records come in ascending ids.
    const std::vector<uint64_t> first_parents = parents;
    std::vector<uint32_t> record_slot;  // inode number -> position + 1 in r.files, where the list is dense
    if (!list.slot.empty()) {
        record_slot.assign(list.slot.size(), 0);
        for (size_t i = 0; i < ids.size(); ++i)
            if (ids[i] < record_slot.size()) record_slot[size_t(ids[i])] = uint32_t(i + 1);
    }
    auto index_of = [&](uint64_t id) -> ptrdiff_t {
        if (!record_slot.empty()) return id < record_slot.size() ? ptrdiff_t(record_slot[size_t(id)]) - 1 : -1;
        auto it = std::lower_bound(ids.begin(), ids.end(), id);
        return it != ids.end() && *it == id ? it - ids.begin() : -1;
    };
    for (size_t i = 0; i < ids.size(); ++i)
        if (parents[i] != 0 && parents[i] != lost_files_id && index_of(parents[i]) < 0) parents[i] = lost_files_id;
    for (size_t i = 0; i < ids.size(); ++i) {
        uint64_t p = parents[i];
        size_t steps = 0;
        while (p != 0 && p != lost_files_id && steps <= ids.size()) {
            if (p == ids[i]) break;
            const ptrdiff_t up = index_of(p);
            p = up >= 0 ? parents[size_t(up)] : lost_files_id;
            ++steps;
        }
        if (p == ids[i] || steps > ids.size()) parents[i] = lost_files_id;
    }
    bool lost_used = false;
    for (size_t i = 0; i < ids.size(); ++i) {
        if (parents[i] != first_parents[i]) r.files[i].parent = parents[i];
        if (parents[i] == lost_files_id) lost_used = true;
    }

    // A deleted file whose blocks a newer deleted inode took has been overwritten.
    std::sort(spans.begin(), spans.end(), [](const span& a, const span& b) { return a.start < b.start; });
    std::vector<span> active;
    for (const span& s : spans) {
        std::erase_if(active, [&](const span& a) { return a.end <= s.start; });
        for (const span& a : active) {
            if (a.file == s.file) continue;
            found_file& older = int32_t(a.sequence - s.sequence) < 0 ? r.files[a.file] : r.files[s.file];
            if (a.sequence != s.sequence && older.state == file_state::intact) older.state = file_state::overwritten;
        }
        if (active.size() < max_active_overlaps) active.push_back(s);
    }

    if (lost_used) {
        found_file lost;
        lost.id = lost_files_id;
        lost.name = options.lost_files_name.empty() ? std::string(lost_files_name) : options.lost_files_name;
        lost.directory = true;
        lost.deleted = true;
        lost.state = file_state::unknown;
        r.files.push_back(std::move(lost));
    }
    r.problems = vol.problems();
    if (jr) r.journal = jr->stats();
    step(1.0);
    return r;
}

copy_report copy_file(volume& vol, const found_file& f, const write_fn& write,
                      const std::function<bool()>& keep_going) {
    copy_report rep;
    auto put = [&](const uint8_t* d, size_t n) {
        if (n == 0) return true;
        if (!write(d, n)) {
            rep.error = copy_error::write_failed;
            return false;
        }
        rep.written += n;
        return true;
    };
    if (f.symlink && !f.symlink_target.empty()) {
        put(reinterpret_cast<const uint8_t*>(f.symlink_target.data()), f.symlink_target.size());
        return rep;
    }
    if (f.is_inline) {
        put(f.inline_data.data(), std::min<size_t>(f.inline_data.size(), size_t(f.size)));
        if (rep.error == copy_error::none && f.inline_data.size() < f.size) rep.error = copy_error::corrupt;
        return rep;
    }
    const uint32_t bs = vol.super().block_size;
    // A deleted file larger than the volume is a broken inode copy, not a file to write out.
    if (f.deleted && f.size / bs > vol.super().blocks_count) {
        rep.error = copy_error::corrupt;
        return rep;
    }
    std::vector<block_run> runs = f.runs;
    if (!f.deleted && runs.empty() && f.size > 0 && f.id <= vol.super().inodes_count) {
        std::vector<uint8_t> raw;
        if (vol.read_inode(uint32_t(f.id), raw)) {
            const inode_fields in = parse_inode(byte_view(raw.data(), raw.size()));
            if (in.inline_data()) {
                found_file inl = f;
                inl.is_inline = true;
                inl.inline_data = vol.inline_bytes(byte_view(raw.data(), raw.size()), in);
                return copy_file(vol, inl, write, keep_going);
            }
            runs = vol.map_blocks(uint32_t(f.id), in, (f.size + bs - 1) / bs);
        }
    }
    std::vector<uint8_t> chunk;
    const std::vector<uint8_t> zeros(size_t(copy_chunk_blocks) * bs, 0);
    uint64_t pos = 0;  // file offset written so far
    auto zero_fill = [&](uint64_t upto) {
        while (pos < upto) {
            const size_t n = size_t(std::min<uint64_t>(upto - pos, zeros.size()));
            if (!put(zeros.data(), n)) return false;
            pos += n;
        }
        return true;
    };
    for (const block_run& run : runs) {
        const uint64_t run_start = run.logical * bs;
        if (run_start >= f.size) break;
        if (run_start < pos) {
            rep.error = copy_error::corrupt;  // overlapping runs: the map is not one file's
            return rep;
        }
        if (!zero_fill(run_start)) return rep;
        for (uint64_t k = 0; k < run.count && pos < f.size;) {
            if (keep_going && !keep_going()) {
                rep.error = copy_error::stopped;
                return rep;
            }
            const uint64_t n = std::min<uint64_t>(copy_chunk_blocks, run.count - k);
            const size_t want = size_t(std::min<uint64_t>(n * bs, f.size - pos));
            if (run.zero) {
                if (!put(zeros.data(), want)) return rep;
                pos += want;
                k += n;
                continue;
            }
            chunk.resize(size_t(n) * bs);
            if (!vol.device().read_exact((run.physical + k) * bs, chunk.data(), chunk.size())) {
                for (uint64_t i = 0; i < n; ++i) {
                    uint8_t* p = chunk.data() + size_t(i) * bs;
                    if (vol.device().read_exact((run.physical + k + i) * bs, p, bs)) continue;
                    std::fill_n(p, bs, 0);
                    if (!vol.device().medium_present()) {
                        rep.error = copy_error::device_gone;
                        rep.error_offset = pos + i * bs;
                        return rep;
                    }
                    const uint64_t at = pos + i * bs;
                    if (at < f.size) {
                        if (rep.unreadable == 0) rep.error_offset = at;
                        rep.unreadable += std::min<uint64_t>(bs, f.size - at);
                        rep.error = copy_error::io_error;
                    }
                }
            }
            if (!put(chunk.data(), want)) return rep;
            pos += want;
            k += n;
        }
    }
    zero_fill(f.size);
    if (rep.error == copy_error::none && f.deleted && f.state == file_state::damaged) rep.error = copy_error::corrupt;
    return rep;
}

copy_report copy_file(volume& vol, const found_file& f, int fd, const std::function<bool()>& keep_going) {
    return copy_file(vol, f, [fd](const uint8_t* d, size_t n) { return write_all(fd, d, n); }, keep_going);
}

}  // namespace qv::ext4
