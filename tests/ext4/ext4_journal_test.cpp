// The journal walk against debugfs's own, a small journal that has wrapped round (files
// whose copies are gone never come back with wrong bytes), large hashed folders and
// inline data.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "devices/crc32c.hpp"
#include "ext4/journal.hpp"
#include "tests/support/test_devices.hpp"
#include "tests/ext4/ext4_test_image.hpp"

namespace qv::test {
namespace {

std::vector<uint8_t> text(const std::string& s) { return {s.begin(), s.end()}; }

// Makes an image, mounts it and hands the mount to body; skips where mounting cannot work.
#define QV_EXT_MOUNT(work, img, mkfs, mib, m)                                  \
    const std::string img = work / "vol.img";                                  \
    {                                                                          \
        std::string why_;                                                      \
        if (!have_tool("mkfs.ext4")) GTEST_SKIP() << "mkfs.ext4 is not installed"; \
        ASSERT_TRUE(make_ext_image(img, mib, mkfs, &why_)) << why_;            \
        if (!m.mount(img, work / "mnt", "ext4", &why_)) GTEST_SKIP() << why_;  \
    }

TEST(ext4_journal, walk_finds_the_blocks_debugfs_logdump_finds) {
    if (!have_tool("debugfs")) GTEST_SKIP() << "debugfs is not installed";
    temp_dir work;
    ext_mount m;
    QV_EXT_MOUNT(work, img, "mkfs.ext4 -b 4096", 64, m);
    for (int round = 0; round < 4; ++round) {
        std::filesystem::create_directories(m / ("d" + std::to_string(round)));
        for (int i = 0; i < 40; ++i)
            write_file(m / ("d" + std::to_string(round) + "/f" + std::to_string(i)), pseudo_random_bytes(900, i));
        ASSERT_EQ(run("sync"), 0);
        std::filesystem::remove_all(m / ("d" + std::to_string(round / 2)));
        ASSERT_EQ(run("sync"), 0);
    }
    ASSERT_TRUE(m.unmount());

    std::string out;
    ASSERT_EQ(run("debugfs -R 'logdump -O -a' " + shell_quote(img) + " 2>/dev/null", &out), 0);
    std::set<std::pair<uint64_t, uint64_t>> theirs, ours;
    const std::regex line("FS block ([0-9]+) logged at journal block ([0-9]+)");
    for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it)
        theirs.insert({std::stoull((*it)[1]), std::stoull((*it)[2])});
    ASSERT_FALSE(theirs.empty()) << out.substr(0, 2000);

    auto dev = file_device::open(img, 0, 0, true, access_mode::read_only, nullptr);
    ASSERT_TRUE(dev);
    std::unique_ptr<ext4::volume> vol;
    ASSERT_EQ(ext4::volume::open(*dev, &vol), 0);
    std::unique_ptr<ext4::journal> j;
    ASSERT_EQ(ext4::journal::open(*vol, &j), 0);
    ASSERT_TRUE(j->walk());
    for (const auto& [block, copies] : j->all_copies())
        for (const ext4::journal_copy& c : copies) ours.insert({block, c.journal_block});
    EXPECT_EQ(ours, theirs);
    EXPECT_EQ(j->stats().bad_tags, 0u);
    // Every copy matches its tag's checksum (journal checksum v3 in mkfs's defaults).
    std::vector<uint8_t> block;
    for (const auto& [b, copies] : j->all_copies())
        for (const ext4::journal_copy& c : copies) EXPECT_TRUE(j->read_copy(c, block)) << b;
    EXPECT_EQ(j->stats().bad_copy_checksums, 0u);
    EXPECT_GT(j->stats().commit_blocks, 4u);

    // Many copies read together give each copy's own bytes once, whatever order they are asked in.
    std::vector<const ext4::journal_copy*> all;
    for (const auto& [b, copies] : j->all_copies())
        for (const ext4::journal_copy& c : copies) all.push_back(&c);
    std::vector<int> handed(all.size(), 0);
    ASSERT_TRUE(j->read_copies(all, nullptr, [&](size_t i, const uint8_t* bytes) {
        EXPECT_TRUE(j->read_copy(*all[i], block));
        EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + block.size()), block) << all[i]->journal_block;
        ++handed[i];
        return true;
    }));
    EXPECT_EQ(std::count(handed.begin(), handed.end(), 1), std::ptrdiff_t(all.size()));
    // A copy is known by its tag's checksum from the CRC of bytes alone: its own bytes match,
    // another copy's (different) bytes do not.
    std::vector<uint8_t> other;
    for (size_t i = 0; i + 1 < all.size(); ++i) {
        if (all[i]->escaped) continue;
        ASSERT_TRUE(j->read_copy(*all[i], block));
        ASSERT_TRUE(j->read_copy(*all[i + 1], other));
        EXPECT_TRUE(j->copy_matches(*all[i], crc32c(0, block.data(), block.size()))) << i;
        if (other != block) {
            EXPECT_FALSE(j->copy_matches(*all[i], crc32c(0, other.data(), other.size()))) << i;
        }
    }
    // A copy the caller turns away is neither checked nor handed; use saying stop ends the reads.
    size_t uses = 0;
    EXPECT_TRUE(j->read_copies(all, [](size_t, const uint8_t*) { return false; },
                               [&](size_t, const uint8_t*) { return ++uses > 0; }));
    EXPECT_EQ(uses, 0u);
    EXPECT_FALSE(j->read_copies(all, nullptr, [&](size_t, const uint8_t*) { return ++uses < 3; }));
    EXPECT_EQ(uses, 3u);

    // On a drive with one bad log block, the copies around it still come (read one by one)
    // and only the bad one is missing and counted.
    std::vector<uint8_t> bytes(dev->length());
    ASSERT_TRUE(dev->read_exact(0, bytes.data(), bytes.size()));
    const uint32_t bs = vol->super().block_size;
    const ext4::journal_copy* victim = all[all.size() / 2];
    const uint64_t bad_at = j->physical(victim->journal_block) * bs;
    failing_device faulty(std::move(bytes), {{bad_at, bad_at + bs}});
    std::unique_ptr<ext4::volume> fvol;
    ASSERT_EQ(ext4::volume::open(faulty, &fvol), 0);
    std::unique_ptr<ext4::journal> fj;
    ASSERT_EQ(ext4::journal::open(*fvol, &fj), 0);
    ASSERT_TRUE(fj->walk());
    std::vector<const ext4::journal_copy*> fall;
    for (const auto& [b, copies] : fj->all_copies())
        for (const ext4::journal_copy& c : copies) fall.push_back(&c);
    const uint64_t unreadable_before = fvol->problems().unreadable_blocks;
    size_t got = 0;
    bool victim_seen = false;
    ASSERT_TRUE(fj->read_copies(fall, nullptr, [&](size_t i, const uint8_t*) {
        victim_seen |= fall[i]->journal_block == victim->journal_block;
        ++got;
        return true;
    }));
    EXPECT_FALSE(victim_seen);
    EXPECT_EQ(got, fall.size() - 1);
    EXPECT_EQ(fvol->problems().unreadable_blocks, unreadable_before + 1);
}

TEST(ext4_journal, wrapped_journal_never_gives_wrong_bytes) {
    temp_dir work;
    ext_mount m;
    // 1024 blocks of 1 KiB: the smallest journal mkfs makes.
    QV_EXT_MOUNT(work, img, "mkfs.ext4 -b 1024 -J size=1", 96, m);
    std::map<std::string, std::vector<uint8_t>> early, late;
    std::filesystem::create_directories(m / "early");
    for (int i = 0; i < 40; ++i) {
        early["early/e" + std::to_string(i)] = pseudo_random_bytes(2000 + 300 * i, 7000 + i);
        write_file(m / ("early/e" + std::to_string(i)), early["early/e" + std::to_string(i)]);
    }
    ASSERT_EQ(run("sync"), 0);
    std::filesystem::remove_all(m / "early");
    ASSERT_EQ(run("sync"), 0);
    // Churn: far more metadata than the log holds, reusing the early files' blocks.
    for (int round = 0; round < 12; ++round) {
        const std::string d = m / ("churn" + std::to_string(round));
        std::filesystem::create_directories(d);
        for (int i = 0; i < 150; ++i) {
            write_file(d + "/c" + std::to_string(i), pseudo_random_bytes(1500, round * 1000 + i));
            if (i % 25 == 24) {
                ASSERT_EQ(run("sync"), 0);
            }
        }
        ASSERT_EQ(run("sync"), 0);
        std::filesystem::remove_all(d);
        ASSERT_EQ(run("sync"), 0);
    }
    std::filesystem::create_directories(m / "late");
    for (int i = 0; i < 10; ++i) {
        late["late/l" + std::to_string(i)] = pseudo_random_bytes(3000 + 100 * i, 9000 + i);
        write_file(m / ("late/l" + std::to_string(i)), late["late/l" + std::to_string(i)]);
    }
    ASSERT_EQ(run("sync"), 0);
    std::filesystem::remove_all(m / "late");
    ASSERT_EQ(run("sync"), 0);
    ASSERT_TRUE(m.unmount());

    ext_scan s;
    std::string why;
    ASSERT_TRUE(s.run(img, &why)) << why;
    EXPECT_GT(s.result.journal.overwritten_tags + s.result.journal.descriptor_blocks, 0u);
    for (const auto& [path, bytes] : late) {
        const ext4::found_file* f = s.find(path, true);
        ASSERT_NE(f, nullptr) << path;
        EXPECT_EQ(s.recover(*f), bytes) << path;
    }
    // Whatever comes back as intact under an early name has the early bytes.
    size_t early_found = 0, early_intact = 0;
    for (const auto& [path, bytes] : early) {
        const ext4::found_file* f = s.find(path, true);
        if (!f) continue;
        ++early_found;
        if (f->state != ext4::file_state::intact) continue;
        ++early_intact;
        EXPECT_EQ(s.recover(*f), bytes) << path << " comes back intact with other bytes";
    }
    // Every deleted file listed intact must not share a block with another listed intact.
    std::map<uint64_t, uint64_t> owner;
    for (const ext4::found_file& f : s.result.files) {
        if (!f.deleted || f.state != ext4::file_state::intact) continue;
        for (const ext4::block_run& r : f.runs)
            for (uint64_t k = 0; k < r.count && !r.zero; ++k) {
                auto [it, fresh] = owner.emplace(r.physical + k, f.id);
                EXPECT_TRUE(fresh) << "block " << r.physical + k << " of " << f.id << " and " << it->second;
            }
    }
    const ext4::journal_stats& js = s.result.journal;
    std::printf("wrapped: %zu of %zu early files listed, %zu intact; journal of %u blocks: %llu descriptors, "
                "%llu copies, %llu tags overwritten, transactions %u to %u\n",
                early_found, early.size(), early_intact, js.maxlen, static_cast<unsigned long long>(js.descriptor_blocks),
                static_cast<unsigned long long>(js.copies), static_cast<unsigned long long>(js.overwritten_tags),
                js.oldest_sequence, js.newest_sequence);
}

TEST(ext4_journal, hashed_folders_and_inline_data_are_read) {
    temp_dir work;
    ext_mount m;
    QV_EXT_MOUNT(work, img, "mkfs.ext4 -b 4096 -I 256 -O inline_data", 64, m);
    std::filesystem::create_directories(m / "big");
    std::filesystem::create_directories(m / "small");
    for (int i = 0; i < 600; ++i)
        write_file(m / ("big/entry-with-a-long-name-" + std::to_string(i)), text("live " + std::to_string(i)));
    write_file(m / "small/tiny.txt", text("inline bytes"));
    write_file(m / "small/gone.txt", text("inline and deleted"));
    ASSERT_EQ(run("sync"), 0);
    for (int i = 0; i < 600; i += 3) std::filesystem::remove(m / ("big/entry-with-a-long-name-" + std::to_string(i)));
    std::filesystem::remove(m / "small/gone.txt");
    ASSERT_EQ(run("sync"), 0);
    ASSERT_TRUE(m.unmount());

    ext_scan s;
    std::string why;
    ASSERT_TRUE(s.run(img, &why)) << why;
    for (int i = 0; i < 600; ++i) {
        const std::string path = "big/entry-with-a-long-name-" + std::to_string(i);
        const ext4::found_file* f = s.find(path, i % 3 == 0);
        ASSERT_NE(f, nullptr) << path;
        EXPECT_EQ(s.recover(*f), text("live " + std::to_string(i))) << path;
    }
    const ext4::found_file* tiny = s.find("small/tiny.txt", false);
    ASSERT_NE(tiny, nullptr);
    EXPECT_TRUE(tiny->is_inline);
    EXPECT_EQ(s.recover(*tiny), text("inline bytes"));
    const ext4::found_file* gone = s.find("small/gone.txt", true);
    ASSERT_NE(gone, nullptr);
    EXPECT_EQ(s.recover(*gone), text("inline and deleted"));
}

}  // namespace
}  // namespace qv::test
