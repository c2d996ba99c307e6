// The allocation table read once (free space, in-use clusters), deleted-file
// cluster plans around live files, and the directory-cluster check on real folders.
#include <gtest/gtest.h>

#include <functional>
#include <regex>

#include "engine/fat_allocation.hpp"
#include "fat/fat_folder_check.hpp"
#include "engine/volume_free_space.hpp"
#include "devices/device_catalog.hpp"
#include "devices/volume_items.hpp"
#include "tests/fat/fat_builder.hpp"
#include "tests/fat/fat_image_view.hpp"
#include "tests/support/test_support.hpp"

namespace {

using qv::byte_view;
using qv::test::run;
using qv::test::shell_quote;

struct layout {
    int bits;
    uint64_t kib;
    int sectors_per_cluster;
};

class allocation_on_mtools_images : public ::testing::TestWithParam<layout> {
protected:
    void SetUp() override {
        for (const char* tool : {"mkfs.fat", "mcopy", "mdel", "mmd", "fsck.fat"})
            if (!qv::test::have_tool(tool)) GTEST_SKIP() << tool << " is not installed";
        const auto& p = GetParam();
        ASSERT_EQ(run("mkfs.fat -C -F " + std::to_string(p.bits) + " -s " + std::to_string(p.sectors_per_cluster) +
                      " " + shell_quote(img) + " " + std::to_string(p.kib) + " >/dev/null"),
                  0);
    }
    void put(const std::string& path, size_t bytes) {
        qv::test::write_file(dir / "l.bin", qv::test::pseudo_random_bytes(bytes, uint32_t(bytes)));
        ASSERT_EQ(run("mcopy -i " + shell_quote(img) + " " + shell_quote(dir / "l.bin") + " " + shell_quote("::" + path)), 0);
    }
    qv::test::temp_dir dir;
    std::string img = dir / "a.img";
};

TEST_P(allocation_on_mtools_images, free_clusters_agree_with_fsck) {
    ASSERT_EQ(run("mmd -i " + shell_quote(img) + " ::/d"), 0);
    for (int i = 0; i < 20; ++i) put("/d/f" + std::to_string(i), size_t(i) * 3001 + 1);
    ASSERT_EQ(run("mdel -i " + shell_quote(img) + " ::/d/f3 ::/d/f7"), 0);
    qv::test::fat_image_view view;
    ASSERT_TRUE(view.load(img));
    auto table = view.table();
    auto a = qv::fat_allocation::from_table(byte_view(table.data(), table.size()), view.bits, view.entry_count);
    ASSERT_TRUE(a.complete());
    std::string out;
    run("fsck.fat -n " + shell_quote(img), &out);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex(R"((\d+)/(\d+) clusters)"))) << out;
    uint32_t used = uint32_t(std::stoul(m[1])), total = uint32_t(std::stoul(m[2]));
    EXPECT_EQ(total, view.entry_count - 2);
    EXPECT_EQ(a.free_clusters(), total - used);
    for (uint32_t c = 2; c < view.entry_count; ++c) ASSERT_EQ(a.in_use(c), view.fat_entry(c) != 0) << c;
    // A short table leaves the rest in use and says so.
    auto half = qv::fat_allocation::from_table(byte_view(table.data(), 64), view.bits, view.entry_count);
    EXPECT_FALSE(half.complete());
    EXPECT_LT(half.free_clusters(), a.free_clusters());
}

TEST_P(allocation_on_mtools_images, a_live_folder_cluster_reads_as_entries_and_file_data_does_not) {
    ASSERT_EQ(run("mmd -i " + shell_quote(img) + " ::/folder"), 0);
    for (int i = 0; i < 40; ++i) put("/folder/a file with a long name " + std::to_string(i) + ".txt", 700);
    ASSERT_EQ(run("mdel -i " + shell_quote(img) + " '::/folder/a file with a long name 1*'"), 0);
    qv::test::fat_image_view view;
    ASSERT_TRUE(view.load(img));
    qv::fat_folder_limits limits{view.entry_count, view.volume_bytes, view.bits == 32};
    auto root = view.folder(0);
    long at = qv::test::fat_image_view::find_entry(root, "OLDER     ");
    ASSERT_GE(at, 0);
    uint32_t first = root[at * 32 + 26] | root[at * 32 + 27] << 8 | (view.bits == 32 ? root[at * 32 + 20] << 16 : 0);
    // Every cluster of the folder's chain, the last one ending with the end mark.
    uint32_t c = first;
    int clusters = 0;
    qv::folder_check last = qv::folder_check::not_entries;
    while (c >= 2 && c < view.entry_count && clusters < 1000) {
        auto bytes = view.cluster(c);
        last = qv::check_folder_cluster(byte_view(bytes.data(), bytes.size()), limits);
        ASSERT_NE(last, qv::folder_check::not_entries) << "cluster " << c;
        ++clusters;
        c = view.fat_entry(c);
    }
    EXPECT_GT(clusters, 0);
    auto random = qv::test::pseudo_random_bytes(view.cluster_bytes, 9);
    EXPECT_EQ(qv::check_folder_cluster(byte_view(random.data(), random.size()), limits), qv::folder_check::not_entries);
    std::vector<uint8_t> text(view.cluster_bytes, 'x');
    EXPECT_EQ(qv::check_folder_cluster(byte_view(text.data(), text.size()), limits), qv::folder_check::not_entries);
    std::vector<uint8_t> zeros(view.cluster_bytes, 0);
    EXPECT_EQ(qv::check_folder_cluster(byte_view(zeros.data(), zeros.size()), limits), qv::folder_check::empty);
    auto one = qv::test::fat_image_view::find_entry(root, "OLDER     ");
    std::copy_n(root.begin() + one * 32, 32, zeros.begin());
    EXPECT_EQ(qv::check_folder_cluster(byte_view(zeros.data(), zeros.size()), limits), qv::folder_check::ends_here);
}

INSTANTIATE_TEST_SUITE_P(layouts, allocation_on_mtools_images,
                         ::testing::Values(layout{12, 2048, 1}, layout{12, 4096, 8}, layout{16, 16384, 2},
                                           layout{32, 66000, 1}, layout{32, 300000, 8}));

// A FAT16 table where the clusters listed are in use.
qv::fat_allocation table16(uint32_t entry_count, std::initializer_list<uint32_t> used) {
    std::vector<uint8_t> t(size_t(entry_count) * 2, 0);
    for (uint32_t c : used) t[c * 2] = 0xFF, t[c * 2 + 1] = 0xFF;
    return qv::fat_allocation::from_table(byte_view(t.data(), t.size()), 16, entry_count);
}

struct plan_case {
    const char* what;
    std::vector<uint32_t> used;
    uint32_t first;
    uint64_t size;
    std::vector<std::pair<uint32_t, uint32_t>> runs;
    uint32_t skipped;
    bool first_in_use, complete;
};

class deleted_data_plans : public ::testing::TestWithParam<plan_case> {};

TEST_P(deleted_data_plans, step_over_live_clusters_only_from_a_free_start) {
    const auto& p = GetParam();
    std::vector<uint8_t> t(200 * 2, 0);
    for (uint32_t c : p.used) t[c * 2] = 0xF7, t[c * 2 + 1] = 0xFF;
    auto a = qv::fat_allocation::from_table(byte_view(t.data(), t.size()), 16, 100);
    auto plan = qv::plan_deleted_data(p.first, p.size, 1024, a);
    std::vector<std::pair<uint32_t, uint32_t>> runs;
    for (auto r : plan.runs) runs.emplace_back(r.first, r.count);
    EXPECT_EQ(runs, p.runs) << p.what;
    EXPECT_EQ(plan.skipped, p.skipped) << p.what;
    EXPECT_EQ(plan.first_in_use, p.first_in_use) << p.what;
    EXPECT_EQ(plan.complete, p.complete) << p.what;
    uint64_t held = 0;
    for (auto r : plan.runs) held += uint64_t(r.count) * 1024;
    EXPECT_EQ(plan.bytes, std::min(held, p.size)) << p.what;
}

INSTANTIATE_TEST_SUITE_P(
    plans, deleted_data_plans,
    ::testing::Values(
        plan_case{"contiguous and free", {}, 10, 3000, {{10, 3}}, 0, false, true},
        plan_case{"around one live file", {12, 13}, 10, 4096, {{10, 2}, {14, 2}}, 2, false, true},
        plan_case{"around two", {11, 13, 14, 15}, 10, 3 * 1024 + 1, {{10, 1}, {12, 1}, {16, 2}}, 4, false, true},
        plan_case{"live data after it does not matter", {13}, 10, 3 * 1024, {{10, 3}}, 0, false, true},
        plan_case{"first cluster reused: read as it lies", {10, 11}, 10, 3000, {{10, 3}}, 0, true, true},
        plan_case{"to the volume's end", {}, 97, 5000, {{97, 3}}, 0, false, false},
        plan_case{"live up to the end", {98, 99}, 97, 5000, {{97, 1}}, 0, false, false},
        plan_case{"first cluster out of range", {}, 100, 10, {}, 0, false, false},
        plan_case{"cluster 1", {}, 1, 10, {}, 0, false, false},
        plan_case{"empty file", {}, 0, 0, {}, 0, false, true}),
    [](const auto& info) { return "case_" + std::to_string(info.index); });

TEST(fat_allocation, searches_cross_words_and_stop_at_the_end) {
    auto a = table16(200, {2, 3, 64, 65, 66, 127, 128, 199});
    EXPECT_EQ(a.free_clusters(), 198u - 8u);
    EXPECT_EQ(a.next_in_use(4), 64u);
    EXPECT_EQ(a.next_free(64), 67u);
    EXPECT_EQ(a.next_free(127), 129u);
    EXPECT_EQ(a.next_free(199), 200u);
    EXPECT_EQ(a.next_in_use(129), 199u);
    EXPECT_EQ(a.next_in_use(500), 200u);
    EXPECT_TRUE(a.in_use(0));
    EXPECT_TRUE(a.in_use(200));
    auto odd = qv::fat_allocation::from_table(byte_view(), 13, 50);
    EXPECT_FALSE(odd.complete());
    EXPECT_EQ(odd.free_clusters(), 0u);
}

TEST(fat_allocation, fat12_entries_pack_two_in_three_bytes) {
    std::vector<uint8_t> t = {0xF8, 0xFF, 0xFF, 0x00, 0xF0, 0xFF, 0x00, 0x00, 0x00};
    // Cluster 2: 0x000, cluster 3: 0xFFF, cluster 4: 0x000, cluster 5: 0x000.
    auto a = qv::fat_allocation::from_table(byte_view(t.data(), t.size()), 12, 6);
    EXPECT_FALSE(a.in_use(2));
    EXPECT_TRUE(a.in_use(3));
    EXPECT_FALSE(a.in_use(4));
    EXPECT_FALSE(a.in_use(5));
    EXPECT_EQ(a.free_clusters(), 3u);
}

TEST(fat_table_faults, tell_a_damaged_copy_from_a_sound_one) {
    // FAT16, 10 entries: media 0xF8; a chain 2 -> 3 -> 5 -> end, 7 alone (end), the rest free.
    auto sound = [] {
        std::vector<uint8_t> t(20, 0);
        qv::put_le16(t.data() + 0, 0xFFF8);
        qv::put_le16(t.data() + 2, 0xFFFF);
        qv::put_le16(t.data() + 4, 3);
        qv::put_le16(t.data() + 6, 5);
        qv::put_le16(t.data() + 10, 0xFFFF);
        qv::put_le16(t.data() + 14, 0xFFF7);  // a bad cluster is no fault
        return t;
    };
    struct row {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> damage;
        uint32_t faults;
    } rows[] = {
        {"sound", [](auto&) {}, 0},
        {"all zeros", [](auto& t) { std::fill(t.begin(), t.end(), 0); }, 1},
        {"another media byte", [](auto& t) { t[0] = 0xF0; }, 1},
        {"a link past the volume", [](auto& t) { qv::put_le16(t.data() + 16, 40); }, 1},
        {"a link to cluster 1", [](auto& t) { qv::put_le16(t.data() + 16, 1); }, 1},
        {"a cluster linked to itself", [](auto& t) { qv::put_le16(t.data() + 16, 8); }, 1},
        {"a chain into a free cluster", [](auto& t) { qv::put_le16(t.data() + 6, 6); }, 1},
        {"cut short", [](auto& t) { t.resize(12); }, 4},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        auto t = sound();
        r.damage(t);
        EXPECT_EQ(qv::fat_table_faults(byte_view(t.data(), t.size()), 16, 10, 0xF8), r.faults);
    }
    EXPECT_EQ(qv::fat_table_faults(byte_view(), 32, 100000, 0xF8), 100000u - 2 + 1) << "nothing to read";

    auto t = sound();
    auto targets = qv::fat_chain_targets(byte_view(t.data(), t.size()), 16, 10);
    ASSERT_EQ(targets.size(), 10u);
    for (uint32_t c = 0; c < 10; ++c) EXPECT_EQ(targets[c], c == 3 || c == 5) << c;
}

}  // namespace

namespace {

class free_space_of_unmounted_fat : public allocation_on_mtools_images {};

TEST_P(free_space_of_unmounted_fat, is_counted_from_the_table_whatever_fsinfo_says) {
    for (int i = 0; i < 12; ++i) put("/f" + std::to_string(i), size_t(i) * 5003 + 7);
    ASSERT_EQ(run("mdel -i " + shell_quote(img) + " ::/f2 ::/f5"), 0);
    std::string out;
    run("fsck.fat -n " + shell_quote(img), &out);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex(R"((\d+)/(\d+) clusters)"))) << out;
    qv::test::fat_image_view view;
    ASSERT_TRUE(view.load(img));
    uint64_t want = (std::stoull(m[2]) - std::stoull(m[1])) * view.cluster_bytes;
    if (view.bits == 32) {
        // FSInfo's free count (sector 1, offset 488) is only a hint: make it lie.
        auto bytes = view.bytes;
        bytes[512 + 488] = 0x07, bytes[512 + 489] = 0, bytes[512 + 490] = 0, bytes[512 + 491] = 0;
        qv::test::write_file(img, bytes);
    }
    auto device = qv::file_device::open(img, 0, 0, true, qv::access_mode::read_only, nullptr);
    ASSERT_TRUE(device);
    auto free = qv::fat_free_bytes(*device);
    ASSERT_TRUE(free.has_value());
    EXPECT_EQ(*free, want);
    // The catalog's volume list has it too.
    auto& catalog = qv::device_catalog::shared();
    catalog.set_block_devices_enabled(false);
    catalog.close_images();
    ASSERT_EQ(catalog.open_image(img), 0);
    enumerate_volumes();
    ASSERT_EQ(volume_items.size(), 2);
    EXPECT_FALSE(volume_items[1].free_known) << "an image is not mounted: statvfs cannot tell";
    qv::count_unmounted_free_space(volume_items);
    EXPECT_TRUE(volume_items[1].free_known);
    EXPECT_EQ(volume_items[1].free_bytes, want);
    catalog.close_images();
}

INSTANTIATE_TEST_SUITE_P(layouts, free_space_of_unmounted_fat,
                         ::testing::Values(layout{12, 2048, 1}, layout{16, 16384, 2}, layout{32, 66000, 1}));

TEST(fat_free_space, unreadable_tables_give_no_count) {
    qv::test::fat_builder b(16, 5000);
    auto bytes = b.bytes();
    qv::memory_device whole(bytes);
    auto free = qv::fat_free_bytes(whole);
    ASSERT_TRUE(free.has_value());
    EXPECT_EQ(*free, 5000u * 512u);
    std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + 1024);
    qv::memory_device truncated(cut);
    EXPECT_FALSE(qv::fat_free_bytes(truncated).has_value());
    std::vector<uint8_t> blank(1 << 16, 0);
    qv::memory_device nothing(blank);
    EXPECT_FALSE(qv::fat_free_bytes(nothing).has_value());
    EXPECT_FALSE(qv::file_system_free_bytes(std::make_unique<qv::memory_device>(bytes), "ext4").has_value());
    EXPECT_FALSE(qv::file_system_free_bytes(nullptr, "FAT16").has_value());
}

}  // namespace
