// Damaged and hostile ext volumes: truncated images, broken superblocks and group
// descriptors, loops and lies in extent trees, folders and the journal. Each gives an
// error or a skipped structure, never a crash or a hang.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "devices/crc32c.hpp"
#include "ext4/ext4_layout.hpp"
#include "ext4/ext4_scan.hpp"
#include "ext4/journal.hpp"
#include "tests/ext4/ext4_test_image.hpp"

namespace qv::test {
namespace {

namespace L = ext4::layout;

// An image made by mkfs from a folder (no mount needed): a few files, a folder and a
// sparse file whose extent tree has an index level.
std::vector<uint8_t> populated_image(const temp_dir& work, const std::string& mkfs, std::string* why) {
    const std::string src = work / "src";
    std::filesystem::create_directories(src + "/sub/deeper");
    write_file(src + "/a.txt", {'a', 'b', 'c'});
    write_file(src + "/sub/b.bin", pseudo_random_bytes(40000, 3));
    write_file(src + "/sub/deeper/c.bin", pseudo_random_bytes(9000, 4));
    {
        FILE* f = std::fopen((src + "/holes.bin").c_str(), "wb");
        for (int i = 0; i < 8; ++i) {
            std::fseek(f, long(i) * 65536, SEEK_SET);
            std::vector<uint8_t> part = pseudo_random_bytes(4096, 10 + i);
            std::fwrite(part.data(), 1, part.size(), f);
        }
        std::fclose(f);
    }
    const std::string img = work / "vol.img";
    if (!make_ext_image(img, 16, mkfs + " -d " + shell_quote(src), why)) return {};
    return read_file(img);
}

// Opens, scans and copies every file of bytes; true when the volume opened.
bool scan_everything(const std::vector<uint8_t>& bytes, ext4::scan_result* out = nullptr) {
    memory_device dev(bytes);
    std::unique_ptr<ext4::volume> vol;
    if (ext4::volume::open(dev, &vol) != 0) return false;
    ext4::scan_result r = ext4::scan(*vol, {});
    for (const ext4::found_file& f : r.files) {
        uint64_t n = 0;
        // A live sparse file may claim any size: the copy stops at 64 MiB here.
        ext4::copy_report rep = ext4::copy_file(*vol, f, [&](const uint8_t*, size_t len) {
            n += len;
            return n <= (64u << 20);
        });
        EXPECT_LE(rep.written, std::max<uint64_t>(f.size, f.symlink_target.size()));
        EXPECT_LE(rep.written, n);
    }
    if (out) *out = std::move(r);
    return true;
}

const ext4::found_file* by_name(const ext4::scan_result& r, const std::string& name) {
    for (const ext4::found_file& f : r.files)
        if (f.name == name) return &f;
    return nullptr;
}

TEST(ext4_crc32c, matches_the_castagnoli_check_values) {
    const char* digits = "123456789";
    EXPECT_EQ(~crc32c(~0u, digits, 9), 0xE3069283u);
    // Split anywhere, the running value gives the same result.
    for (size_t cut = 0; cut <= 9; ++cut)
        EXPECT_EQ(crc32c(crc32c(~0u, digits, cut), digits + cut, 9 - cut), crc32c(~0u, digits, 9));
    std::vector<uint8_t> zeros(32, 0);
    EXPECT_EQ(~crc32c(~0u, zeros.data(), zeros.size()), 0x8A9136AAu);
}

TEST(ext4_crc32c, a_register_shifted_over_zeros_by_table_is_the_crc_of_those_zeros) {
    std::mt19937 rng(3);
    for (size_t len : {size_t(1), size_t(128), size_t(256), size_t(4096), size_t(65536)}) {
        const crc32c_shift_table shift(len);
        const std::vector<uint8_t> zeros(len, 0);
        for (int i = 0; i < 50; ++i) {
            const uint32_t reg = rng();
            EXPECT_EQ(shift(reg), crc32c(reg, zeros.data(), len)) << len;
            EXPECT_EQ(shift(reg), crc32c_shift(reg, len));
        }
    }
}

TEST(ext4_crc32c, inode_sums_from_one_pass_agree_with_the_checksum_of_each_inode) {
    std::mt19937 rng(7);
    for (uint32_t size : {128u, 256u, 512u, 1024u}) {
        ext4::superblock_info sb;
        sb.ro_compat = L::ro_compat_metadata_csum;
        sb.inode_size = size;
        sb.csum_seed = rng();
        const ext4::inode_crcs sums(sb);
        std::vector<std::vector<uint8_t>> inodes(7, std::vector<uint8_t>(size));
        std::vector<const uint8_t*> ptrs;
        size_t good = 0, bad = 0;
        for (int round = 0; round < 40; ++round) {
            ptrs.clear();
            for (auto& in : inodes) {
                for (uint8_t& b : in) b = uint8_t(rng());
                if (size > 128) put_le16(in.data() + L::i_extra_isize, uint16_t(rng() % 40));  // high half or not
                if (rng() % 2) {  // a right checksum, as the kernel writes it
                    std::vector<uint8_t> z = in;
                    z[L::i_checksum_lo] = z[L::i_checksum_lo + 1] = 0;
                    const bool full =
                        size > 128 && 128u + byte_view(in.data(), size).le16(L::i_extra_isize) >= L::i_checksum_hi + 2;
                    if (full) z[L::i_checksum_hi] = z[L::i_checksum_hi + 1] = 0;
                    uint8_t seed_bytes[8];  // inode number 12, then its generation
                    put_le32(seed_bytes, 12);
                    std::memcpy(seed_bytes + 4, in.data() + L::i_generation, 4);
                    const uint32_t c = crc32c(crc32c(sb.csum_seed, seed_bytes, 8), z.data(), size);
                    put_le16(in.data() + L::i_checksum_lo, uint16_t(c));
                    if (full) put_le16(in.data() + L::i_checksum_hi, uint16_t(c >> 16));
                }
                ptrs.push_back(in.data());
            }
            const size_t n = 1 + size_t(rng() % ptrs.size());  // three at a time and the rest
            std::vector<uint32_t> raw(n);
            sums.raw(ptrs.data(), n, raw.data());
            uint32_t joined = 0;
            std::vector<uint8_t> all;
            for (size_t i = 0; i < n; ++i) {
                ASSERT_EQ(raw[i], crc32c(0, ptrs[i], size));
                const byte_view v(ptrs[i], size);
                const bool want = ext4::inode_checksum_ok(sb, 12, v);
                EXPECT_EQ(sums.checksum_ok(12, v, raw[i]), want) << size;
                (want ? good : bad)++;
                joined = sums.append(joined, raw[i]);
                all.insert(all.end(), ptrs[i], ptrs[i] + size);
            }
            EXPECT_EQ(joined, crc32c(0, all.data(), all.size()));  // the table block's CRC
        }
        EXPECT_GT(good, 20u);
        EXPECT_GT(bad, 20u);
    }
}

TEST(ext4_content_guess, text_is_told_by_every_byte_of_the_probe) {
    // Lengths around the sixteen bytes taken at a time, and the 512 bytes of a probe.
    for (size_t n : {1, 15, 16, 17, 31, 32, 33, 200, 512}) {
        std::vector<uint8_t> t(n, 'x');
        for (size_t i = 0; i < n; i += 7) t[i] = uint8_t("\t\n\r \xC3\xA9~"[i % 7]);  // breaks, UTF-8 and ASCII pass
        EXPECT_EQ(ext4::extension_from_content(t.data(), t.size()), "txt") << n;
        for (size_t at : {size_t(0), n / 2, n - 1})
            for (uint8_t bad : {uint8_t(0), uint8_t(1), uint8_t(0x1B), uint8_t(0x1F)}) {
                std::vector<uint8_t> u = t;
                u[at] = bad;
                EXPECT_EQ(ext4::extension_from_content(u.data(), u.size()), "") << n << " " << at << " " << int(bad);
            }
    }
    EXPECT_EQ(ext4::extension_from_content(nullptr, 0), "");
    const uint8_t png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0};
    EXPECT_EQ(ext4::extension_from_content(png, sizeof png), "png");
}

class ext4_hostile : public testing::Test {
protected:
    void SetUp() override {
        if (!have_tool("mkfs.ext4")) GTEST_SKIP() << "mkfs.ext4 is not installed";
        std::string why;
        image = populated_image(work, "mkfs.ext4 -b 1024", &why);
        if (image.empty()) GTEST_SKIP() << "mkfs.ext4 -d failed: " << why;
        memory_device dev(image);
        std::unique_ptr<ext4::volume> vol;
        ASSERT_EQ(ext4::volume::open(dev, &vol), 0);
        sb = vol->super();
        groups = vol->groups();
    }
    // Byte offset of inode ino.
    uint64_t inode_at(uint32_t ino) const {
        const uint32_t g = (ino - 1) / sb.inodes_per_group;
        return groups[g].inode_table * sb.block_size + uint64_t((ino - 1) % sb.inodes_per_group) * sb.inode_size;
    }
    uint32_t inode_of(const std::string& name) {
        ext4::scan_result r;
        EXPECT_TRUE(scan_everything(image, &r));
        const ext4::found_file* f = by_name(r, name);
        return f ? uint32_t(f->id) : 0;
    }
    temp_dir work;
    std::vector<uint8_t> image;
    ext4::superblock_info sb;
    std::vector<ext4::group_info> groups;
};

TEST_F(ext4_hostile, a_bad_inode_checksum_is_reported_not_fatal) {
    ASSERT_TRUE(sb.metadata_csum());
    const uint32_t ino = inode_of("a.txt");
    ASSERT_NE(ino, 0u);
    std::vector<uint8_t> bad = image;
    bad[inode_at(ino) + 2] ^= 0x01;  // the owner: the checksum no longer holds
    memory_device dev(bad);
    std::unique_ptr<ext4::volume> vol;
    ASSERT_EQ(ext4::volume::open(dev, &vol), 0);
    ext4::scan_result r = ext4::scan(*vol, {});
    const ext4::found_file* a = by_name(r, "a.txt");
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(a->doubtful);
    EXPECT_GE(r.problems.bad_checksums, 1u);
    std::vector<uint8_t> got;
    ext4::copy_file(*vol, *a, [&](const uint8_t* d, size_t n) {
        got.insert(got.end(), d, d + n);
        return true;
    });
    EXPECT_EQ(got, (std::vector<uint8_t>{'a', 'b', 'c'}));
    const ext4::found_file* b = by_name(r, "b.bin");
    ASSERT_NE(b, nullptr);
    EXPECT_FALSE(b->doubtful);
}

TEST_F(ext4_hostile, every_inode_byte_but_its_checksum_counts) {
    const uint32_t ino = inode_of("a.txt");
    ASSERT_NE(ino, 0u);
    std::vector<uint8_t> raw(image.begin() + std::ptrdiff_t(inode_at(ino)),
                             image.begin() + std::ptrdiff_t(inode_at(ino) + sb.inode_size));
    ASSERT_TRUE(ext4::inode_checksum_ok(sb, ino, byte_view(raw.data(), raw.size())));
    EXPECT_FALSE(ext4::inode_checksum_ok(sb, ino + 1, byte_view(raw.data(), raw.size())));  // the number is in the seed
    for (size_t at = 0; at < raw.size(); ++at) {
        std::vector<uint8_t> bad = raw;
        bad[at] ^= 0x40;
        // Any changed byte breaks it: the checksum's own halves are compared, the rest is summed.
        EXPECT_FALSE(ext4::inode_checksum_ok(sb, ino, byte_view(bad.data(), bad.size()))) << "byte " << at;
    }
}

TEST_F(ext4_hostile, truncated_images_open_or_fail_cleanly) {
    for (size_t len : {size_t(0), size_t(512), size_t(1024), size_t(2047), size_t(4096), size_t(65536),
                       image.size() / 2, image.size() - 1024}) {
        std::vector<uint8_t> cut(image.begin(), image.begin() + std::min(len, image.size()));
        scan_everything(cut);
    }
    EXPECT_FALSE(scan_everything({}));
}

// A superblock (checksum and all) that claims a far larger volume than the image holds: the
// bitmaps stop at the end of the image, and a claim whose group descriptors alone would not fit
// on it is refused instead of sizing tables from it.
TEST_F(ext4_hostile, a_superblock_claiming_more_than_the_device_holds) {
    ASSERT_TRUE(sb.is_64bit());
    auto claim = [&](uint64_t blocks) {
        std::vector<uint8_t> bad = image;
        uint8_t* s = bad.data() + L::superblock_offset;
        for (int i = 0; i < 4; ++i) {
            s[L::sb_blocks_count_lo + i] = uint8_t(blocks >> (8 * i));
            s[L::sb_blocks_count_hi + i] = uint8_t(blocks >> (32 + 8 * i));
        }
        const uint32_t c = crc32c(~0u, s, L::sb_checksum);
        for (int i = 0; i < 4; ++i) s[L::sb_checksum + i] = uint8_t(c >> (8 * i));
        return bad;
    };
    const uint64_t image_blocks = image.size() / sb.block_size;

    // 16 GiB claimed on 16 MiB: it opens, reads as before, and nothing past the image is free.
    std::vector<uint8_t> big = claim(uint64_t(1) << 24);
    memory_device dev(big);
    std::unique_ptr<ext4::volume> vol;
    ASSERT_EQ(ext4::volume::open(dev, &vol), 0);
    EXPECT_FALSE(vol->super().backup_used);
    EXPECT_EQ(vol->super().blocks_count, uint64_t(1) << 24);
    EXPECT_LE(vol->free_blocks(), image_blocks);
    EXPECT_GT(vol->free_blocks(), 0u);
    EXPECT_TRUE(vol->block_in_use(image_blocks));
    EXPECT_TRUE(vol->block_in_use((uint64_t(1) << 24) - 1));
    ext4::scan_result r = ext4::scan(*vol, {});
    const ext4::found_file* b = by_name(r, "b.bin");
    ASSERT_NE(b, nullptr);
    std::vector<uint8_t> got;
    ext4::copy_file(*vol, *b, [&](const uint8_t* d, size_t n) {
        got.insert(got.end(), d, d + n);
        return true;
    });
    EXPECT_EQ(got, pseudo_random_bytes(40000, 3));

    // 8 TiB: a million groups, whose descriptors alone are four times the image.
    std::vector<uint8_t> huge = claim(uint64_t(1) << 33);
    memory_device dev2(huge);
    EXPECT_EQ(ext4::volume::open(dev2, &vol), ext4::open_bad_groups);
}

TEST_F(ext4_hostile, a_broken_superblock_falls_back_to_the_backup) {
    std::vector<uint8_t> bad = image;
    bad[L::superblock_offset + L::sb_magic] ^= 0xFF;
    ext4::scan_result r;
    ASSERT_TRUE(scan_everything(bad, &r));
    const ext4::found_file* b = by_name(r, "b.bin");
    ASSERT_NE(b, nullptr);
    memory_device dev(bad);
    std::unique_ptr<ext4::volume> vol;
    ASSERT_EQ(ext4::volume::open(dev, &vol), 0);
    EXPECT_TRUE(vol->super().backup_used);
    std::vector<uint8_t> got;
    ext4::copy_file(*vol, *b, [&](const uint8_t* d, size_t n) {
        got.insert(got.end(), d, d + n);
        return true;
    });
    EXPECT_EQ(got, pseudo_random_bytes(40000, 3));
    // A bad checksum alone is counted, and the backup is taken.
    bad = image;
    bad[L::superblock_offset + L::sb_volume_name] ^= 0x55;
    memory_device dev2(bad);
    ASSERT_EQ(ext4::volume::open(dev2, &vol), 0);
    EXPECT_TRUE(vol->super().backup_used);
    EXPECT_GE(vol->problems().bad_checksums, 1u);
    // Both gone: no volume.
    bad[L::superblock_offset + L::sb_magic] = 0;
    std::fill(bad.begin() + 8193 * 1024, bad.begin() + 8194 * 1024, 0);
    EXPECT_FALSE(scan_everything(bad));
}

TEST_F(ext4_hostile, garbage_group_descriptors_are_counted_not_trusted) {
    struct row {
        const char* what;
        uint8_t fill;
    };
    for (row r : {row{"zeros", 0x00}, row{"ones", 0xFF}, row{"pattern", 0x5A}}) {
        std::vector<uint8_t> bad = image;
        std::fill(bad.begin() + 2 * 1024, bad.begin() + 3 * 1024, r.fill);
        ext4::scan_result res;
        if (scan_everything(bad, &res)) {
            EXPECT_GT(res.problems.bad_checksums + res.problems.bad_structures, 0u) << r.what;
        }
    }
}

TEST_F(ext4_hostile, loops_and_lies_in_extent_trees_end_the_walk) {
    const uint32_t ino = inode_of("holes.bin");
    ASSERT_NE(ino, 0u);
    const uint64_t at = inode_at(ino) + L::i_block;
    byte_view root(image.data() + at, L::i_block_size);
    ASSERT_EQ(root.le16(L::eh_depth), 1) << "holes.bin should have an index level";
    const uint64_t child = root.le32(L::extent_entry_size + L::ei_leaf_lo);
    struct row {
        const char* what;
        void (*edit)(std::vector<uint8_t>&, uint64_t node, uint64_t child, uint64_t blocks);
    };
    const row rows[] = {
        {"leaf points to itself as an index",
         [](std::vector<uint8_t>& b, uint64_t node, uint64_t child, uint64_t) {
             put_le16(&b[node + L::eh_depth], 1);  // deeper than its parent said: refused
             put_le32(&b[node + L::extent_entry_size + L::ei_leaf_lo], uint32_t(child));
         }},
        {"extent past the volume",
         [](std::vector<uint8_t>& b, uint64_t node, uint64_t, uint64_t blocks) {
             put_le32(&b[node + L::extent_entry_size + L::ee_start_lo], uint32_t(blocks - 2));
             put_le16(&b[node + L::extent_entry_size + L::ee_len], 100);
         }},
        {"more entries than room",
         [](std::vector<uint8_t>& b, uint64_t node, uint64_t, uint64_t) { put_le16(&b[node + L::eh_entries], 0xFFFF); }},
        {"extents out of order",
         [](std::vector<uint8_t>& b, uint64_t node, uint64_t, uint64_t) {
             put_le32(&b[node + 2 * L::extent_entry_size + L::ee_block], 0);
         }},
    };
    for (const row& r : rows) {
        std::vector<uint8_t> bad = image;
        r.edit(bad, child * sb.block_size, child, sb.blocks_count);
        ext4::scan_result res;
        ASSERT_TRUE(scan_everything(bad, &res)) << r.what;
    }
    // An index pointing back at its own block, with the depth kept, is a loop.
    std::vector<uint8_t> loop = image;
    const uint64_t node = child * sb.block_size;
    put_le16(&loop[node + L::eh_depth], 1);
    put_le16(&loop[at + L::eh_depth], 2);
    put_le32(&loop[node + L::extent_entry_size + L::ei_leaf_lo], uint32_t(child));
    ASSERT_TRUE(scan_everything(loop));
}

TEST_F(ext4_hostile, folder_entries_past_their_block_are_skipped) {
    const uint64_t root_table = inode_at(L::root_inode);
    byte_view root(image.data() + root_table + L::i_block, L::i_block_size);
    const uint64_t first = root.le32(L::extent_entry_size + L::ee_start_lo);
    for (uint16_t rec : {uint16_t(0), uint16_t(3), uint16_t(0xFFFC), uint16_t(1020)}) {
        std::vector<uint8_t> bad = image;
        put_le16(&bad[first * sb.block_size + 12 + L::de_rec_len], rec);
        ext4::scan_result res;
        ASSERT_TRUE(scan_everything(bad, &res));
        EXPECT_GT(res.problems.bad_structures + res.problems.bad_checksums, 0u) << rec;
    }
}

TEST_F(ext4_hostile, journal_descriptors_that_lie_are_checked) {
    memory_device dev(image);
    std::unique_ptr<ext4::volume> vol;
    ASSERT_EQ(ext4::volume::open(dev, &vol), 0);
    std::unique_ptr<ext4::journal> j;
    ASSERT_EQ(ext4::journal::open(*vol, &j), 0);
    const uint32_t bs = sb.block_size;
    auto be32 = [](uint8_t* p, uint32_t v) {
        p[0] = uint8_t(v >> 24);
        p[1] = uint8_t(v >> 16);
        p[2] = uint8_t(v >> 8);
        p[3] = uint8_t(v);
    };
    std::vector<uint8_t> bad = image;
    // A descriptor that fills its block with tags (no last-tag flag) naming blocks past the
    // volume, right before the end of the log, so its data would run round the log.
    const uint32_t maxlen = j->stats().maxlen;
    uint8_t* d = &bad[j->physical(maxlen - 3) * bs];
    std::memset(d, 0, bs);
    be32(d, L::jbd2_magic);
    be32(d + 4, L::jbd2_descriptor);
    be32(d + 8, 77);
    for (size_t at = 12; at + 16 <= bs; at += 16) {
        be32(d + at, uint32_t(sb.blocks_count + at));
        be32(d + at + 4, 0x2);  // same UUID
    }
    uint8_t* c = &bad[j->physical(maxlen - 2) * bs];
    std::memset(c, 0, bs);
    be32(c, L::jbd2_magic);
    be32(c + 4, L::jbd2_commit);
    be32(c + 8, 77);
    // A revoke block whose count runs past the block.
    uint8_t* r = &bad[j->physical(maxlen - 1) * bs];
    std::memset(r, 0xAB, bs);
    be32(r, L::jbd2_magic);
    be32(r + 4, L::jbd2_revoke);
    be32(r + 8, 78);
    be32(r + 12, 0xFFFFFFF0);
    memory_device dev2(bad);
    std::unique_ptr<ext4::volume> vol2;
    ASSERT_EQ(ext4::volume::open(dev2, &vol2), 0);
    std::unique_ptr<ext4::journal> j2;
    ASSERT_EQ(ext4::journal::open(*vol2, &j2), 0);
    ASSERT_TRUE(j2->walk());
    EXPECT_GT(j2->stats().bad_tags + j2->stats().overwritten_tags, 0u);
    for (const auto& [block, copies] : j2->all_copies()) EXPECT_LT(block, sb.blocks_count);
    ASSERT_TRUE(scan_everything(bad));
    // A journal superblock whose log is longer than its inode.
    std::vector<uint8_t> big = image;
    be32(&big[j->physical(0) * bs + L::js_maxlen], 0x7FFFFFFF);
    memory_device dev3(big);
    ASSERT_EQ(ext4::volume::open(dev3, &vol2), 0);
    EXPECT_EQ(ext4::journal::open(*vol2, &j2), ext4::journal_bad);
}

// The walk skips a descriptor's data blocks unread; where the block after them is not the
// next header, what was skipped is read after all: here a descriptor claims five data blocks
// that are really a commit and a whole second transaction.
TEST_F(ext4_hostile, headers_inside_a_descriptors_claimed_data_are_still_found) {
    memory_device dev(image);
    std::unique_ptr<ext4::volume> vol;
    ASSERT_EQ(ext4::volume::open(dev, &vol), 0);
    std::unique_ptr<ext4::journal> j;
    ASSERT_EQ(ext4::journal::open(*vol, &j), 0);
    ASSERT_TRUE(j->walk());
    const ext4::journal_stats before = j->stats();
    const uint32_t bs = sb.block_size, maxlen = before.maxlen;
    auto be32 = [](uint8_t* p, uint32_t v) {
        p[0] = uint8_t(v >> 24);
        p[1] = uint8_t(v >> 16);
        p[2] = uint8_t(v >> 8);
        p[3] = uint8_t(v);
    };
    std::vector<uint8_t> bad = image;
    const uint32_t p = maxlen - 12;
    auto block = [&](uint32_t k) { return &bad[j->physical(k) * bs]; };
    for (uint32_t k = p; k < p + 8; ++k) std::memset(block(k), 0, bs);
    const uint64_t target = sb.first_data_block + 1;
    auto descriptor = [&](uint32_t k, uint32_t seq, int tags) {
        uint8_t* d = block(k);
        be32(d, L::jbd2_magic);
        be32(d + 4, L::jbd2_descriptor);
        be32(d + 8, seq);
        for (int t = 0; t < tags; ++t) {
            be32(d + 12 + 16 * t, uint32_t(target));
            be32(d + 12 + 16 * t + 4, 0x2 | (t + 1 == tags ? 0x8 : 0));  // same UUID, last
        }
    };
    auto commit = [&](uint32_t k, uint32_t seq) {
        be32(block(k), L::jbd2_magic);
        be32(block(k) + 4, L::jbd2_commit);
        be32(block(k) + 8, seq);
    };
    descriptor(p, 90, 5);
    commit(p + 1, 90);
    descriptor(p + 2, 91, 1);
    std::memset(block(p + 3), 0x5A, bs);
    commit(p + 4, 91);
    memory_device dev2(bad);
    std::unique_ptr<ext4::volume> vol2;
    ASSERT_EQ(ext4::volume::open(dev2, &vol2), 0);
    std::unique_ptr<ext4::journal> j2;
    ASSERT_EQ(ext4::journal::open(*vol2, &j2), 0);
    ASSERT_TRUE(j2->walk());
    EXPECT_GE(j2->stats().descriptor_blocks, before.descriptor_blocks + 2);
    EXPECT_GE(j2->stats().commit_blocks, before.commit_blocks + 2);
    bool found = false;
    for (const ext4::journal_copy& c : j2->copies_of(target))
        if (c.sequence == 91 && c.journal_block == p + 3) found = true;
    EXPECT_TRUE(found) << "the second transaction's block copy was lost";
    ASSERT_TRUE(scan_everything(bad));
}

// A folder whose inode is wiped leaves its files without a folder: they go under the
// folder for lost files, named in the language the caller gives (English by default).
TEST_F(ext4_hostile, files_of_a_wiped_folder_go_under_lost_files_in_the_callers_language) {
    ext4::scan_result before;
    ASSERT_TRUE(scan_everything(image, &before));
    const ext4::found_file* sub = by_name(before, "sub");
    ASSERT_NE(sub, nullptr);
    memory_device dev(image);
    std::unique_ptr<ext4::volume> vol;
    ASSERT_EQ(ext4::volume::open(dev, &vol), 0);
    uint64_t block = 0;
    size_t offset = 0;
    ASSERT_TRUE(vol->inode_location(uint32_t(sub->id), &block, &offset));
    std::vector<uint8_t> bad = image;
    std::memset(&bad[block * sb.block_size + offset], 0, sb.inode_size);
    for (const std::string& language : {std::string(), std::string("Verlorene Dateien")}) {
        memory_device dev2(bad);
        std::unique_ptr<ext4::volume> vol2;
        ASSERT_EQ(ext4::volume::open(dev2, &vol2), 0);
        ext4::scan_options options;
        options.lost_files_name = language;
        const ext4::scan_result r = ext4::scan(*vol2, options);
        const ext4::found_file* lost = nullptr;
        for (const ext4::found_file& f : r.files)
            if (f.id == ext4::lost_files_id) lost = &f;
        ASSERT_NE(lost, nullptr);
        EXPECT_EQ(lost->name, language.empty() ? std::string("Lost files") : language);
        EXPECT_TRUE(lost->directory);
        size_t under = 0;
        for (const ext4::found_file& f : r.files)
            if (f.parent == ext4::lost_files_id) ++under;
        EXPECT_GE(under, 1u) << "b.bin or deeper/ should have lost their folder";
        // Inodes and folder entries read, not the records listed.
        EXPECT_GT(r.entries_read, r.files.size());
    }
}

TEST(ext4_hostile_random, flipped_bytes_never_crash) {
    if (!have_tool("mkfs.ext4")) GTEST_SKIP() << "mkfs.ext4 is not installed";
    struct row {
        const char* name;
        const char* mkfs;
    };
    for (row kind : {row{"ext4", "mkfs.ext4 -b 1024"}, row{"ext4-4k", "mkfs.ext4 -b 4096 -O inline_data"},
                     row{"ext2", "mkfs.ext2 -b 1024"}}) {
        temp_dir work;
        std::string why;
        const std::vector<uint8_t> image = populated_image(work, kind.mkfs, &why);
        ASSERT_FALSE(image.empty()) << why;
        std::mt19937 rng(1234);
        size_t opened = 0;
        const size_t metadata = std::min<size_t>(image.size(), 600 * 1024);
        for (int round = 0; round < 40; ++round) {
            std::vector<uint8_t> bad = image;
            for (int k = 0; k < 200; ++k) bad[rng() % metadata] = uint8_t(rng());
            opened += scan_everything(bad);
        }
        EXPECT_GT(opened, 0u) << kind.name;
    }
}

}  // namespace
}  // namespace qv::test
