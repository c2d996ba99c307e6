// The FAT engine's filing rules, marks, progress, pause and stop, and its
// answers to hostile images, on images built byte by byte.
#include <gtest/gtest.h>

#include <QThread>

#include <chrono>
#include <iostream>
#include <thread>

#include "devices/le_bytes.hpp"
#include "engine/item_paths.hpp"
#include "tests/engine/fat_scan.hpp"
#include "tests/fat/fat_builder.hpp"
#include "tests/support/test_support.hpp"
#include "ui/fat_recovery.hpp"

namespace {

using qv::test::fat_builder;
using namespace std::chrono_literals;

constexpr uint16_t early = 0x5000, later = 0x6000;  // creation times, 10:00 and 12:00

class fat_engine_rules : public ::testing::Test {
protected:
    std::unique_ptr<qv::test::fat_scan_run> scan(fat_builder& b) {
        EXPECT_TRUE(b.save(img));
        return qv::test::scan_fat_volume(img);
    }
    qv::test::temp_dir dir;
    std::string img = dir / "rules.img";
};

TEST_F(fat_engine_rules, a_later_deleted_file_replaces_a_live_folder_met_first) {
    fat_builder b(16, 5000);
    b.add_entry(0, "FOLDER     ", 0x10, 50, 0, false, 0x5A21, early);
    b.add_entry(50, "INNER   TXT", 0x20, 60, 10, true);
    b.add_entry(0, "FILE    TXT", 0x20, 50, 99, true, 0x5A21, later);
    auto e = scan(b);
    ASSERT_TRUE(e->items().count(50));
    EXPECT_EQ(qv::test::item_name(e->items().at(50)).substr(1), u"ILE.TXT");
    EXPECT_TRUE(e->items().count(60)) << "the folder's contents stay filed";
    EXPECT_EQ(e->items_found(), 2u) << "replacing is not a new item";
}

TEST_F(fat_engine_rules, a_live_folder_replaces_a_file_met_first_and_is_not_walked) {
    fat_builder b(16, 5000);
    b.add_entry(0, "FILE    TXT", 0x20, 50, 99, true, 0x5A21, later);
    b.add_entry(0, "FOLDER     ", 0x10, 50, 0, false, 0x5A21, early);
    b.add_entry(50, "INNER   TXT", 0x20, 60, 10, true);
    auto e = scan(b);
    EXPECT_EQ(qv::test::item_name(e->items().at(50)), u"FOLDER");
    EXPECT_FALSE(e->items().count(60));
}

TEST_F(fat_engine_rules, equal_creation_times_keep_the_first_and_deleted_folders_never_win_over_outside_items) {
    fat_builder b(16, 5000);
    b.add_entry(0, "FIRST   TXT", 0x20, 50, 1, true);
    b.add_entry(0, "SECOND  TXT", 0x20, 50, 2, true);
    b.add_entry(0, "OUTSIDE TXT", 0x20, 70, 3, true, 0x5A21, early);
    b.add_entry(0, "GONE       ", 0x10, 80, 0, true);
    b.add_entry(80, "INSIDE  TXT", 0x20, 70, 4, true, 0x5A21, later);
    b.add_entry(80, "LIVEFILETXT", 0x20, 90, 5, false);
    auto e = scan(b);
    EXPECT_EQ(qv::test::item_name(e->items().at(50)).substr(1), u"IRST.TXT");
    EXPECT_EQ(qv::test::item_name(e->items().at(70)).substr(1), u"UTSIDE.TXT");
    EXPECT_FALSE(e->items().count(90)) << "a live file inside a deleted folder is not filed";
    EXPECT_FALSE(e->shown_as_folder(80)) << "nothing of its own lies below the deleted folder";
    EXPECT_TRUE(e->shown_as_folder(0));
}

TEST_F(fat_engine_rules, progress_rises_over_2000_entries_then_holds) {
    EXPECT_EQ(qv::fat_core::entry_progress(0), 0.0);
    EXPECT_EQ(qv::fat_core::entry_progress(1000), 0.5);
    EXPECT_EQ(qv::fat_core::entry_progress(2000), 1.0) << "the 2001st entry";
    EXPECT_EQ(qv::fat_core::entry_progress(2001), 0.99) << "the 2002nd entry";

    fat_builder b(32, 70000);
    b.chain_folder(b.root_cluster(), 320);  // 5120 entries in the root
    for (uint32_t i = 0; i < 5000; ++i)
        b.add_entry(0, "F" + std::to_string(1000000 + i) + "TXT", 0x20, 1000 + i, 1, true);
    auto e = scan(b);
    EXPECT_EQ(e->items_found(), 5000u);
    EXPECT_EQ(e->progress(), 0.99);

    fat_builder small(16, 5000);
    small.add_entry(0, "ONE     TXT", 0x20, 40, 1, true);
    auto s = scan(small);
    EXPECT_LT(s->progress(), 1.0);
    EXPECT_EQ(s->entries_read(), 2u) << "the entry and the end of the folder";
}

TEST_F(fat_engine_rules, pause_holds_the_walk_and_stop_keeps_what_was_filed) {
    // 16 folders of 60000 deleted entries each: long enough to catch the walk mid-way.
    constexpr uint32_t folders = 16, per_folder = 60000, clusters_per_folder = per_folder * 32 / 512;
    fat_builder b(32, 66000 + folders * clusters_per_folder);
    for (uint32_t f = 0; f < folders; ++f) {
        uint32_t first = 100 + f * clusters_per_folder;
        b.chain_folder(first, clusters_per_folder);
        b.add_entry(0, "DIR" + std::to_string(10 + f) + "      ", 0x10, first, 0, false);
        for (uint32_t i = 0; i < per_folder; ++i)
            b.add_entry(first, "F" + std::to_string(1000000 + i) + "BIN", 0x20, 2000000 + f * per_folder + i, 1, true);
    }
    ASSERT_TRUE(b.save(img));
    fat_recovery_c e;
    e.set_volume(qv::test::open_test_volume(img));
    e.start();
    std::this_thread::sleep_for(30ms);
    e.set_paused(1);
    std::this_thread::sleep_for(250ms);  // the walk notices within one entry
    if (e.isFinished()) GTEST_SKIP() << "the whole scan took under 30 ms; nothing to pause";
    uint64_t held = e.entries_read();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(e.entries_read(), held) << "paused: no entry is read";
    EXPECT_EQ(e.is_paused(), 1);
    e.set_paused(0);
    std::this_thread::sleep_for(200ms);  // the walk sleeps 100 ms at a time while paused
    e.set_stop(qv::stop_reason::user_stopped);
    auto asked = std::chrono::steady_clock::now();
    ASSERT_TRUE(e.wait(5000));
    std::cout << "stopped " << std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count()
              << " s after the request\n";
    EXPECT_EQ(e.stop_state(), qv::stop_reason::user_stopped);
    EXPECT_GT(e.entries_read(), held) << "resumed where it stopped";
    EXPECT_LT(e.entries_read(), uint64_t(folders) * per_folder) << "stopped before the end";
    EXPECT_TRUE(qv::build_folder_tree(e.found_items()).has_results()) << "what was filed before the stop shows";

    e.set_stop(qv::stop_reason::page_left);
    e.reset();
    EXPECT_TRUE(e.found_items().empty());
    EXPECT_EQ(e.entries_read(), 0u);
    EXPECT_EQ(e.items_found(), 0u);
    EXPECT_EQ(e.stop_state(), qv::stop_reason::running);
}

TEST_F(fat_engine_rules, parent_loops_end_path_building_and_marking) {
    fat_builder b(16, 5000);
    b.add_entry(0, "A          ", 0x10, 30, 0, false);
    b.add_entry(30, "B          ", 0x10, 31, 0, false);
    b.add_entry(31, "BACK       ", 0x10, 30, 0, false);  // a live folder replaces A: A's parent is now B
    b.add_entry(31, "FILE    TXT", 0x20, 40, 5, true);
    auto e = scan(b);
    EXPECT_EQ(e->items().at(30).parent, 31u);
    EXPECT_EQ(e->items().at(31).parent, 30u);
    QString path;
    EXPECT_EQ(e->build_item_path(40, &path), -1);
    EXPECT_EQ(e->build_item_path(12345, &path), -1);
    EXPECT_FALSE(e->shown_as_folder(31)) << "folders that hold each other hang from no root";
}

TEST_F(fat_engine_rules, recover_file_writes_exactly_what_is_there) {
    fat_builder b(16, 5000);
    b.add_entry(0, "ZERO    TXT", 0x20, 100, 0, true);
    b.add_entry(0, "END     BIN", 0x20, 5000, 2048, true);  // clusters 5000 and 5001 are the last two
    b.add_entry(0, "OK      BIN", 0x20, 200, 1500, true);
    auto content = qv::test::pseudo_random_bytes(1536, 5);
    b.write_cluster(200, std::vector<uint8_t>(content.begin(), content.begin() + 512));
    b.write_cluster(201, std::vector<uint8_t>(content.begin() + 512, content.begin() + 1024));
    b.write_cluster(202, std::vector<uint8_t>(content.begin() + 1024, content.end()));
    auto e = scan(b);
    bool ok = false;
    EXPECT_TRUE(qv::test::recover_bytes(*e, 100, dir.path().string(), &ok).empty());
    EXPECT_TRUE(ok) << "an empty file is a success";
    auto end = qv::test::recover_bytes(*e, 5000, dir.path().string(), &ok);
    EXPECT_FALSE(ok) << "a file cut short by the end of the volume is a failure";
    EXPECT_EQ(end.size(), 1024u) << "the bytes that were there are kept";
    auto good = qv::test::recover_bytes(*e, 200, dir.path().string(), &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(good, std::vector<uint8_t>(content.begin(), content.begin() + 1500));
    EXPECT_EQ(e->recover_file(999, QString::fromStdString(dir / "x")), -1) << "not in the map";
    EXPECT_EQ(e->recover_file(200, QString::fromStdString(dir / "no/such/folder/x")), -1);
}

TEST(recovery_stop, every_call_is_harmless) {
    recovery_stop_c s;
    s.set_volume(volume_item_s{});
    s.set_paused(1);
    s.set_stop(qv::stop_reason::user_stopped);
    s.set_progress(0.5);
    s.reset();
    EXPECT_EQ(s.progress(), 0.0);
    EXPECT_EQ(s.entries_read(), 0u);
    EXPECT_EQ(s.items_found(), 0u);
    EXPECT_EQ(s.is_paused(), 0);
    EXPECT_NE(s.stop_state(), qv::stop_reason::running) << "a stand-in never scans";
    EXPECT_EQ(s.recover_file(7, "/nonexistent/x"), 0);
    QString out;
    EXPECT_EQ(s.build_item_path(7, &out), 0);
}

// Hostile images: every scan ends, with at least the root filed.
class fat_engine_hostile : public fat_engine_rules {
protected:
    void expect_survives(fat_builder& b) {
        auto e = scan(b);
        EXPECT_TRUE(e->items().count(0));
    }
};

TEST_F(fat_engine_hostile, a_folder_chain_that_loops_ends) {
    fat_builder b(16, 5000);
    b.add_entry(0, "LOOP       ", 0x10, 30, 0, false);
    b.set_fat(30, 31);
    b.set_fat(31, 30);
    b.add_entry(30, "X       TXT", 0x20, 40, 5, true);
    auto e = scan(b);
    EXPECT_TRUE(e->items().count(40));
    EXPECT_LE(e->entries_read(), 70000u) << "the entry index wraps and ends the folder";
}

TEST_F(fat_engine_hostile, clusters_past_the_end_and_deep_nesting_are_cut_off) {
    fat_builder b(16, 5000);
    b.add_entry(0, "PAST       ", 0x10, 0xFFF0, 0, false);
    b.add_entry(0, "ONE        ", 0x10, 1, 0, false);
    // A chain of 1000 nested folders, each holding the next.
    b.add_entry(0, "D0         ", 0x10, 100, 0, false);
    for (uint32_t i = 0; i < 1000; ++i) b.add_entry(100 + i, "D          ", 0x10, 101 + i, 0, false);
    auto e = scan(b);
    EXPECT_TRUE(e->items().count(0xFFF0)) << "filed, though it cannot be read";
    size_t nested = 0;
    for (uint32_t i = 100; i <= 1100; ++i) nested += e->items().count(i);
    EXPECT_GT(nested, 100u);
    EXPECT_LE(nested, size_t(qv::fat_max_walk_depth) + 2);
}

TEST_F(fat_engine_hostile, random_bytes_over_the_tables_and_a_cut_image) {
    fat_builder b(16, 5000);
    b.add_entry(0, "A       TXT", 0x20, 40, 100, true);
    auto noise = qv::test::pseudo_random_bytes(size_t(b.data_start() - 1) * 512, 99);
    std::memcpy(b.bytes().data() + 512, noise.data(), noise.size());
    expect_survives(b);

    fat_builder cut(32, 70000);
    cut.add_entry(0, "A       TXT", 0x20, 40, 100, true);
    cut.bytes().resize(cut.bytes().size() / 3);
    expect_survives(cut);

    fat_builder boot_only(32, 70000);
    boot_only.bytes().resize(512);
    expect_survives(boot_only);
}

}  // namespace
