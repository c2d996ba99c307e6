#include "ext4/journal.hpp"

#include <algorithm>
#include <unordered_set>

#include "devices/crc32c.hpp"
#include "ext4/ext4_layout.hpp"

namespace qv::ext4 {

namespace L = layout;

namespace {

constexpr size_t read_batch_blocks = 256;
constexpr uint32_t max_read_gap = 8;  // log blocks read through between two wanted copies
constexpr size_t tag_v3_size = 16;
constexpr size_t tag_base_size = 12;

uint32_t be32(byte_view b, size_t at) {
    if (!b.has(at, 4)) return 0;
    const uint8_t* p = b.data() + at;
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
uint16_t be16(byte_view b, size_t at) {
    if (!b.has(at, 2)) return 0;
    return uint16_t(b.data()[at] << 8 | b.data()[at + 1]);
}

struct tag {
    uint64_t block;
    uint32_t flags;
    uint32_t checksum;
};

struct descriptor {
    uint32_t position;  // journal block of the descriptor
    uint32_t sequence;
    std::vector<tag> tags;
};

}  // namespace

int journal::open(volume& vol, std::unique_ptr<journal>* out) {
    const superblock_info& sb = vol.super();
    if (!sb.has_journal()) return journal_none;
    if (sb.journal_inode == 0) return journal_external;
    std::vector<uint8_t> raw;
    if (!vol.read_inode(sb.journal_inode, raw)) return journal_unreadable;
    const inode_fields in = parse_inode(byte_view(raw.data(), raw.size()));
    if (in.mode == 0 || in.inline_data()) return journal_bad;
    const uint64_t blocks = (in.size + sb.block_size - 1) / sb.block_size;
    std::unique_ptr<journal> j(new journal(vol));
    j->runs_ = vol.map_blocks(sb.journal_inode, in, blocks);
    std::vector<uint8_t> block;
    const uint64_t first = j->physical(0);
    if (!first || !vol.read_block(first, block)) return journal_unreadable;
    byte_view b(block.data(), block.size());
    const uint32_t type = be32(b, L::jh_blocktype);
    if (be32(b, L::jh_magic) != L::jbd2_magic || (type != L::jbd2_superblock_v1 && type != L::jbd2_superblock_v2))
        return journal_bad;
    journal_stats& s = j->stats_;
    s.version = type == L::jbd2_superblock_v2 ? 2 : 1;
    s.maxlen = be32(b, L::js_maxlen);
    s.first = be32(b, L::js_first);
    s.sequence = be32(b, L::js_sequence);
    s.start = be32(b, L::js_start);
    s.incompat = s.version == 2 ? be32(b, L::js_feature_incompat) : 0;
    // The log must fit the inode's blocks; its blocks must be the file system's size.
    if (be32(b, L::js_blocksize) != sb.block_size || s.first == 0 || s.first >= s.maxlen || s.maxlen > blocks)
        return journal_bad;
    j->csum_seed_ = crc32c(~0u, block.data() + L::js_uuid, L::jbd2_uuid_size);
    *out = std::move(j);
    return 0;
}

uint64_t journal::physical(uint64_t jb) const {
    auto it = std::upper_bound(runs_.begin(), runs_.end(), jb,
                               [](uint64_t v, const block_run& r) { return v < r.logical; });
    if (it == runs_.begin()) return 0;
    --it;
    if (jb >= it->logical + it->count || it->zero) return 0;
    return it->physical + (jb - it->logical);
}

const std::vector<journal_copy>& journal::copies_of(uint64_t b) const {
    static const std::vector<journal_copy> none;
    auto it = copies_.find(b);
    return it == copies_.end() ? none : it->second;
}

bool journal::read_copy(const journal_copy& c, std::vector<uint8_t>& out) {
    const uint64_t p = physical(c.journal_block);
    if (!p || !vol_.read_block(p, out)) return false;
    return accept(c, out.data(), out.size());
}

bool journal::copy_matches(const journal_copy& c, uint32_t plain_crc) const {
    if (!full_checksums_ || c.escaped) return false;
    const uint8_t seq_be[4] = {uint8_t(c.sequence >> 24), uint8_t(c.sequence >> 16), uint8_t(c.sequence >> 8),
                               uint8_t(c.sequence)};
    return (block_shift_(crc32c(csum_seed_, seq_be, 4)) ^ plain_crc) == c.checksum;
}

bool journal::accept(const journal_copy& c, uint8_t* data, size_t len) {
    if (tag_checksums_) {
        const uint8_t seq_be[4] = {uint8_t(c.sequence >> 24), uint8_t(c.sequence >> 16), uint8_t(c.sequence >> 8),
                                   uint8_t(c.sequence)};
        uint32_t sum = crc32c(crc32c(csum_seed_, seq_be, 4), data, len);
        if (!full_checksums_) sum &= 0xFFFF;
        if (sum != c.checksum) {
            ++stats_.bad_copy_checksums;
            return false;
        }
    }
    if (c.escaped && len >= 4) {
        data[0] = uint8_t(L::jbd2_magic >> 24);
        data[1] = uint8_t(L::jbd2_magic >> 16);
        data[2] = uint8_t(L::jbd2_magic >> 8);
        data[3] = uint8_t(L::jbd2_magic);
    }
    return true;
}

bool journal::read_copies(const std::vector<const journal_copy*>& copies, const copy_test& wanted,
                          const copy_test& use) {
    const uint32_t bs = vol_.super().block_size;
    std::vector<size_t> order(copies.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](size_t a, size_t b) { return copies[a]->journal_block < copies[b]->journal_block; });
    std::vector<uint8_t> run, one;
    auto hand = [&](size_t i, uint8_t* data) {
        if (wanted && !copies[i]->escaped && !wanted(i, data)) return true;  // escaped: its first bytes are not its own yet
        if (!accept(*copies[i], data, bs)) return true;
        return use(i, data);
    };
    for (size_t k = 0; k < order.size();) {
        // A run: log blocks lying next to each other on the volume, gaps of a few blocks read through.
        const uint32_t first = copies[order[k]]->journal_block;
        const uint64_t p0 = physical(first);
        size_t end = k + 1;
        while (end < order.size()) {
            const uint32_t j = copies[order[end]]->journal_block;
            if (j - first >= read_batch_blocks || j - copies[order[end - 1]]->journal_block > max_read_gap ||
                !p0 || physical(j) != p0 + (j - first))
                break;
            ++end;
        }
        const uint32_t span = copies[order[end - 1]]->journal_block - first + 1;
        run.resize(size_t(span) * bs);
        if (p0 && !vol_.gone() && p0 + span <= vol_.super().blocks_count &&
            vol_.device().read_exact(p0 * bs, run.data(), run.size())) {
            for (size_t m = k; m < end; ++m)
                if (!hand(order[m], run.data() + size_t(copies[order[m]]->journal_block - first) * bs)) return false;
        } else {
            for (size_t m = k; m < end; ++m) {
                const uint64_t p = physical(copies[order[m]]->journal_block);
                if (!p || !vol_.read_block(p, one)) continue;
                if (!hand(order[m], one.data())) return false;
            }
        }
        k = end;
    }
    return true;
}

bool journal::walk(const std::function<bool(double)>& keep_going) {
    journal_stats& s = stats_;
    const uint32_t bs = vol_.super().block_size;
    const uint32_t first = s.first, maxlen = s.maxlen, log_len = maxlen - first;
    const bool csum3 = s.incompat & L::jbd2_incompat_csum_v3;
    const bool csum2 = s.incompat & L::jbd2_incompat_csum_v2;
    const bool wide = s.incompat & L::jbd2_incompat_64bit;
    size_t tag_size = tag_v3_size;
    if (!csum3) {
        tag_size = tag_base_size + (csum2 ? 2 : 0);
        if (!wide) tag_size -= 4;
    }
    const size_t tags_end = bs - ((csum2 || csum3) ? L::jbd2_block_tail : 0);

    std::vector<descriptor> descriptors;
    std::unordered_set<uint32_t> committed;
    // owner[k]: the newest transaction that wrote log block k (its descriptor, data,
    // commit or revoke block); an older descriptor's claim on k has lost its data.
    std::vector<uint32_t> owner(log_len, 0);
    std::vector<uint8_t> has_owner(log_len, 0);
    auto claim = [&](uint32_t k, uint32_t seq) {
        const uint32_t i = k - first;
        if (!has_owner[i] || int32_t(seq - owner[i]) > 0) {
            owner[i] = seq;
            has_owner[i] = 1;
        }
    };

    // The log is read header to header: a descriptor says how many data blocks follow
    // it, so they are skipped unread. Where the block after them is not the next header
    // of the same or the following transaction (the head of the log, a transaction that
    // never finished), the skipped blocks are read one by one after all.
    std::vector<uint8_t> batch;
    uint32_t window = first, window_n = 0;  // log blocks [window, window + window_n) are in batch
    auto load = [&](uint32_t k, uint32_t want) {
        const uint64_t p0 = physical(k);
        uint32_t n = 1;
        while (n < want && k + n < maxlen && physical(k + n) == p0 + n) ++n;
        batch.resize(size_t(n) * bs);
        if (!p0 || !vol_.device().read_exact(p0 * bs, batch.data(), batch.size())) {
            // Fall back to single blocks so one bad sector costs one block.
            for (uint32_t i = 0; i < n; ++i) {
                const uint64_t p = physical(k + i);
                if (!p || !vol_.device().read_exact(p * bs, batch.data() + size_t(i) * bs, bs)) {
                    std::fill_n(batch.data() + size_t(i) * bs, bs, 0);
                    ++s.unreadable_blocks;
                }
            }
        }
        window = k;
        window_n = n;
    };
    uint32_t expected = first;             // where the chain of headers leads
    uint32_t skipped_from = 0;             // first data block skipped on the way there (0: none)
    uint32_t chain_sequence = 0;           // transaction of the descriptor that skipped them
    uint32_t linear_until = first;         // no skipping before this block
    uint32_t last_report = first;
    for (uint32_t k = first; k < maxlen;) {
        if (k - last_report >= read_batch_blocks || k == first) {
            if (keep_going && !keep_going(double(k - first) / log_len)) return false;
            last_report = k;
        }
        if (k < window || k >= window + window_n) load(k, k == expected && k >= linear_until ? 1 : read_batch_blocks);
        byte_view b(batch.data() + size_t(k - window) * bs, bs);
        const bool header = be32(b, L::jh_magic) == L::jbd2_magic;
        const uint32_t type = be32(b, L::jh_blocktype);
        const uint32_t seq = be32(b, L::jh_sequence);
        if (k == expected && skipped_from) {
            const bool chained = header && (seq == chain_sequence || seq == chain_sequence + 1) &&
                                 (type == L::jbd2_descriptor || type == L::jbd2_commit || type == L::jbd2_revoke);
            const uint32_t from = skipped_from;
            skipped_from = 0;
            if (!chained) {
                linear_until = k;  // read what was skipped, block by block
                k = from;
                continue;
            }
        }
        const uint32_t pos = k;
        ++k;
        if (!header) continue;
        if (type == L::jbd2_descriptor) {
            ++s.descriptor_blocks;
            claim(pos, seq);
            descriptor d{pos, seq, {}};
            size_t at = L::jh_size;
            while (at + tag_size <= tags_end && d.tags.size() + 1 < log_len) {
                tag t{};
                t.block = be32(b, at);
                if (csum3) {
                    t.flags = be32(b, at + 4);
                    if (wide) t.block |= uint64_t(be32(b, at + 8)) << 32;
                    t.checksum = be32(b, at + 12);
                } else {
                    t.checksum = be16(b, at + 4);
                    t.flags = be16(b, at + 6);
                    if (wide) t.block |= uint64_t(be32(b, at + 8)) << 32;
                }
                at += tag_size;
                if (!(t.flags & L::jbd2_tag_same_uuid)) at += L::jbd2_uuid_size;
                d.tags.push_back(t);
                if (t.flags & L::jbd2_tag_last) break;
            }
            s.tags += d.tags.size();
            for (size_t t = 0; t < d.tags.size(); ++t)
                claim(uint32_t(first + (pos - first + 1 + t) % log_len), seq);
            const uint64_t after = uint64_t(pos) + 1 + d.tags.size();
            if (pos >= linear_until && !d.tags.empty() && after < maxlen) {
                skipped_from = pos + 1;
                chain_sequence = seq;
                expected = uint32_t(after);
                k = expected;
            }
            descriptors.push_back(std::move(d));
        } else if (type == L::jbd2_commit) {
            ++s.commit_blocks;
            claim(pos, seq);
            committed.insert(seq);
        } else if (type == L::jbd2_revoke) {
            ++s.revoke_blocks;
            claim(pos, seq);
            const size_t count = std::min<size_t>(be32(b, L::jr_count), tags_end);
            const size_t width = wide ? 8 : 4;
            for (size_t at = L::jh_size + 4; at + width <= count; at += width) {
                uint64_t blk = be32(b, at);
                if (wide) blk = blk << 32 | be32(b, at + 4);
                auto [it, fresh] = revoked_.emplace(blk, seq);
                if (!fresh && int32_t(seq - it->second) > 0) it->second = seq;
            }
        }
        if (k == pos + 1) expected = k;  // a header is followed by the next one
    }

    // Keep each tag whose transaction committed and whose log block no later
    // transaction took; with journal checksums the block must also match its tag,
    // which read_copy checks when the copy is wanted.
    tag_checksums_ = csum2 || csum3;
    full_checksums_ = csum3;
    bool any = false;
    for (const descriptor& d : descriptors) {
        if (!committed.count(d.sequence)) continue;
        for (size_t t = 0; t < d.tags.size(); ++t) {
            const tag& tg = d.tags[t];
            const uint32_t pos = uint32_t(first + (d.position - first + 1 + t) % log_len);
            if (owner[pos - first] != d.sequence) {
                ++s.overwritten_tags;
                continue;
            }
            if (!vol_.block_valid(tg.block)) {
                ++s.bad_tags;
                continue;
            }
            copies_[tg.block].push_back({d.sequence, pos, bool(tg.flags & L::jbd2_tag_escape), tg.checksum});
            ++s.copies;
            if (!any || int32_t(d.sequence - s.newest_sequence) > 0) s.newest_sequence = d.sequence;
            if (!any || int32_t(d.sequence - s.oldest_sequence) < 0) s.oldest_sequence = d.sequence;
            any = true;
        }
    }
    for (auto& [block, list] : copies_)
        std::sort(list.begin(), list.end(), [](const journal_copy& a, const journal_copy& b) {
            return int32_t(a.sequence - b.sequence) > 0 ||
                   (a.sequence == b.sequence && a.journal_block > b.journal_block);
        });
    if (keep_going) keep_going(1.0);
    return true;
}

}  // namespace qv::ext4
