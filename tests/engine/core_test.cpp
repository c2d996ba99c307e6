// The thread-free scan cores over device handles, the one path builder and
// folder-tree builder, and the engine choice: what the window and the command
// line both stand on.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "tests/support/test_devices.hpp"
#include "engine/engine_choice.hpp"
#include "engine/fat_core.hpp"
#include "fat/fat_layout.hpp"
#include "engine/item_paths.hpp"
#include "tests/fat/fat_builder.hpp"
#include "tests/support/test_support.hpp"

namespace {

using qv::test::fat_builder;

// A FAT16 volume with a live folder, a deleted folder and deleted files at
// every level; file contents are patterns of their first cluster.
fat_builder small_volume() {
    fat_builder b(16, 5000);
    b.add_entry(0, "DOCS       ", qv::fat::attr_directory, 30, 0, false);
    b.add_entry(0, "OLD        ", qv::fat::attr_directory, 40, 0, true);
    b.add_entry(0, "ROOTFILEBIN", qv::fat::attr_archive, 100, 1300, true);
    b.add_entry(30, "REPORT  DOC", qv::fat::attr_archive, 110, 700, true);
    b.add_entry(40, "LOST    TXT", qv::fat::attr_archive, 120, 10, true);
    for (uint32_t c : {100u, 101u, 102u, 110u, 111u, 120u})
        b.write_cluster(c, std::vector<uint8_t>(512, uint8_t(c)));
    return b;
}

std::vector<uint8_t> pattern(std::initializer_list<std::pair<uint8_t, size_t>> runs) {
    std::vector<uint8_t> out;
    for (auto [value, count] : runs) out.insert(out.end(), count, value);
    return out;
}

const qv::found_item* named(const std::vector<qv::found_item>& items, const std::string& name) {
    for (const auto& i : items)
        if (i.name == name) return &i;
    return nullptr;
}

TEST(fat_core, scans_a_device_in_memory_and_recovers_from_it) {
    qv::memory_device device(small_volume().bytes());
    qv::fat_core core;
    qv::scan_token token;
    std::vector<qv::found_item> seen;
    qv::scan_hooks hooks;
    hooks.token = &token;
    hooks.found = [&](const qv::found_item& f) { seen.push_back(f); };
    auto items = qv::fat_found_items(core.scan(device, hooks));

    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(seen.size(), 5u) << "each item once, as it was filed";
    EXPECT_EQ(token.items, 5u);
    EXPECT_GE(token.entries, 5u);
    const qv::found_item* report = named(items, "#EPORT.DOC");
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->parent, 30u);
    EXPECT_TRUE(report->deleted);
    EXPECT_FALSE(report->directory);
    EXPECT_EQ(report->attributes, uint32_t(qv::fat::attr_archive | qv::fat::attr_deleted));
    const qv::found_item* lost = named(items, "#OST.TXT");
    ASSERT_NE(lost, nullptr) << "files in a deleted folder are found";
    EXPECT_EQ(lost->parent, 40u);

    qv::test::temp_dir dir;
    const qv::found_item* root_file = named(items, "#OOTFILE.BIN");
    ASSERT_NE(root_file, nullptr);
    EXPECT_EQ(root_file->parent, 0u);
    ASSERT_EQ(core.recover(*root_file, dir / "root.bin"), 0);
    EXPECT_EQ(qv::test::read_file(dir / "root.bin"), pattern({{100, 512}, {101, 512}, {102, 276}}));
    ASSERT_EQ(core.recover(*report, dir / "report.doc"), 0);
    EXPECT_EQ(qv::test::read_file(dir / "report.doc"), pattern({{110, 512}, {111, 188}}));
}

TEST(fat_core, two_volumes_are_scanned_at_once) {
    fat_builder a = small_volume();
    fat_builder b(12, 3000);
    b.add_entry(0, "ONLY    ONE", qv::fat::attr_archive, 7, 512, true);
    b.write_cluster(7, std::vector<uint8_t>(512, 0x77));
    qv::memory_device da(a.bytes()), db(b.bytes());
    qv::fat_core ca, cb;
    qv::fat_item_map ra, rb;
    std::thread ta([&] { ra = ca.scan(da, {}); });
    std::thread tb([&] { rb = cb.scan(db, {}); });
    ta.join();
    tb.join();
    EXPECT_EQ(ra.size(), 6u) << "five items and the root";
    EXPECT_EQ(rb.size(), 2u);
    qv::test::temp_dir dir;
    ASSERT_EQ(cb.recover(7, 512, true, dir / "one"), 0);
    EXPECT_EQ(qv::test::read_file(dir / "one"), std::vector<uint8_t>(512, 0x77));
    ASSERT_EQ(ca.recover(110, 700, true, dir / "report"), 0) << "each core reads its own device";
    EXPECT_EQ(qv::test::read_file(dir / "report").front(), 110);
}

TEST(fat_core, a_stop_or_a_vanishing_medium_ends_the_walk_with_the_root_filed) {
    auto bytes = small_volume().bytes();
    struct row {
        const char* what;
        uint64_t budget;  // bytes the device serves before it goes
        bool stop_first;
    };
    for (const row& r : {row{"stopped before the first entry", ~0ull, true},
                         row{"gone after the boot sector", 512, false},
                         row{"gone after the first folder sector", 512 * 2, false}}) {
        SCOPED_TRACE(r.what);
        qv::vanishing_device device(bytes, r.budget);
        qv::scan_token token;
        if (r.stop_first) token.request_stop(qv::stop_reason::user_stopped);
        qv::fat_core core;
        qv::scan_hooks hooks;
        hooks.token = &token;
        auto items = core.scan(device, hooks);
        ASSERT_EQ(items.count(0), 1u);
        EXPECT_LT(items.size(), 6u) << "not the whole volume";
        EXPECT_EQ(token.stop(), r.stop_first ? qv::stop_reason::user_stopped : qv::stop_reason::running);
    }
}

TEST(fat_core, a_bad_area_is_written_as_zeros_counted_and_the_bytes_around_it_kept) {
    fat_builder b = small_volume();
    // 200 clusters of 512 bytes from cluster 1000; reads move 128 sectors at a time.
    b.add_entry(0, "BIG     BIN", qv::fat::attr_archive, 1000, 200 * 512, true);
    for (uint32_t c = 1000; c < 1200; ++c) b.write_cluster(c, std::vector<uint8_t>(512, uint8_t(c)));
    uint64_t bad = (uint64_t(b.data_start()) + (1150 - 2)) * 512;  // cluster 1150
    qv::failing_device device(b.bytes(), {{bad, bad + 512}});
    qv::fat_core core;
    auto items = qv::fat_found_items(core.scan(device, {}));
    const qv::found_item* big = named(items, "#IG.BIN");
    ASSERT_NE(big, nullptr);
    qv::test::temp_dir dir;
    EXPECT_EQ(core.recover(*big, dir / "out"), 0) << "a damaged file is written whole";
    EXPECT_EQ(core.last_unreadable_bytes(), 512u);
    auto out = qv::test::read_file(dir / "out");
    ASSERT_EQ(out.size(), 200u * 512);
    EXPECT_EQ(out[0], uint8_t(1000));
    EXPECT_EQ(out[(1127 - 1000) * 512], uint8_t(1127)) << "the first whole transfer, before the bad sector";
    EXPECT_EQ(out[(1149 - 1000) * 512 + 511], uint8_t(1149));
    EXPECT_EQ(std::count(out.begin() + (1150 - 1000) * 512, out.begin() + (1151 - 1000) * 512, 0), 512)
        << "the unreadable sector reads as zeros";
    EXPECT_EQ(out[(1151 - 1000) * 512], uint8_t(1151)) << "the bytes after it are read on";
    EXPECT_EQ(out.back(), uint8_t(1199));
    EXPECT_GT(device.failed_reads, 0);
}

qv::found_item item(uint64_t id, uint64_t parent, const std::string& name, bool directory,
                    const std::string& type = {}) {
    qv::found_item f;
    f.id = id;
    f.parent = parent;
    f.name = name;
    f.directory = directory;
    f.deleted = !directory;
    f.type = type;
    return f;
}

TEST(item_paths, paths_follow_folders_up_to_the_root_and_refuse_broken_chains) {
    std::vector<qv::found_item> items{
        item(10, 0, "Docs", true),  item(11, 10, "Sub", true),     item(12, 11, "a.txt", false),
        item(13, 99, "lost", false), item(14, 12, "inside-a-file", false),
        item(15, 16, "ring1", true), item(16, 15, "ring2", true),  item(17, 15, "b.txt", false),
        item(18, 18, "self", true)};
    qv::item_index index(items);
    struct row {
        uint64_t id;
        const char* path;  // null: refused
        size_t chain;      // items in the (partial) chain
    };
    for (const row& r : {row{12, "/mnt/Docs/Sub/a.txt", 3}, row{10, "/mnt/Docs", 1}, row{13, nullptr, 1},
                         row{14, nullptr, 1}, row{17, nullptr, 3}, row{18, nullptr, 1}, row{404, nullptr, 0}}) {
        SCOPED_TRACE(r.id);
        auto path = qv::item_path(index, r.id, "/mnt/");
        if (r.path)
            EXPECT_EQ(path, std::string(r.path));
        else
            EXPECT_FALSE(path.has_value());
        qv::item_chain chain = qv::chain_of(index, r.id);
        EXPECT_EQ(chain.items.size(), r.chain);
        EXPECT_EQ(chain.complete, r.path != nullptr);
        if (!chain.items.empty()) {
            EXPECT_EQ(chain.items.back()->id, r.id);
        }
    }
}

TEST(item_paths, the_slash_holds_results_when_it_or_a_folder_below_has_a_file) {
    struct row {
        const char* what;
        std::vector<qv::found_item> items;
        bool results;
        size_t slash_files;
        size_t slash_folders;
    };
    std::vector<row> rows{
        {"nothing", {}, false, 0, 0},
        {"files only in the root", {item(5, 0, "a", false), item(6, 0, "b", false)}, true, 2, 0},
        {"empty folders only", {item(5, 0, "D", true), item(6, 5, "E", true)}, false, 0, 0},
        {"a file two folders down", {item(5, 0, "D", true), item(6, 5, "E", true), item(7, 6, "f", false)},
         true, 0, 1},
        {"carved files by type",
         {item(0, 0, "00000000.jpg", false, "jpg"), item(1, 0, "00000001.png", false, "png"),
          item(2, 0, "00000002.jpg", false, "jpg")},
         true, 0, 2},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        qv::folder_tree tree = qv::build_folder_tree(r.items);
        ASSERT_FALSE(tree.nodes.empty());
        EXPECT_EQ(tree.nodes[0].name, "/");
        EXPECT_EQ(tree.has_results(), r.results);
        EXPECT_EQ(tree.nodes[0].files.size(), r.slash_files);
        EXPECT_EQ(tree.nodes[0].folders.size(), r.slash_folders);
    }
    qv::folder_tree carved = qv::build_folder_tree(rows[4].items);
    ASSERT_EQ(carved.nodes.size(), 3u);
    EXPECT_EQ(carved.nodes[1].name, "jpg");
    ASSERT_EQ(carved.nodes[1].files.size(), 2u);
    EXPECT_EQ(carved.nodes[1].files[1]->id, 2u) << "finding order within a type";
}

TEST(item_paths, a_deep_nest_is_cut_off_and_every_folder_is_visited_once) {
    std::vector<qv::found_item> items;
    for (uint64_t i = 1; i <= 2000; ++i) items.push_back(item(i, i - 1, "d", true));
    items.push_back(item(5000, 2000, "deep.txt", false));
    items.push_back(item(5001, 3, "shallow.txt", false));
    qv::folder_tree tree = qv::build_folder_tree(items);
    EXPECT_TRUE(tree.has_results());
    EXPECT_LE(tree.nodes.size(), size_t(qv::folder_tree_max_depth) + 2);
}

TEST(engine_choice, the_file_system_picks_the_engine) {
    struct row {
        const char* file_system;
        bool deep;
        recovery_engine_kind kind;
    };
    for (const row& r : {row{"FAT12", false, engine_kind_fat}, row{"FAT16", false, engine_kind_fat},
                         row{"FAT32", false, engine_kind_fat}, row{"NTFS", false, engine_kind_ntfs},
                         row{"ntfs", false, engine_kind_none}, row{"btrfs", false, engine_kind_none},
                         row{"", false, engine_kind_none}, row{"ext4", true, engine_kind_deep},
                         row{"NTFS", true, engine_kind_deep}}) {
        SCOPED_TRACE(std::string(r.file_system) + (r.deep ? " deep" : ""));
        EXPECT_EQ(qv::choose_engine(r.file_system, r.deep), r.kind);
    }
    EXPECT_EQ(qv::engine_name(engine_kind_ntfs), "ntfs");
    EXPECT_EQ(qv::engine_name(engine_kind_none), "");
}

}  // namespace
