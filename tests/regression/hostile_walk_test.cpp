// FAT folders whose cluster chains loop or overlap: a folder that loops on
// itself is read about once, and a walk whose folders keep re-reading one long
// circle stops at a bound set by the volume's size (giving up on the rest of a
// hostile volume) instead of reading 65536 entries for every folder.

#include <gtest/gtest.h>

#include <cstring>

#include "engine/sector_device.hpp"
#include "tests/fat/fat_builder.hpp"
#include "tests/engine/fat_scan.hpp"
#include "tests/support/test_support.hpp"

namespace {

using qv::test::fat_builder;

struct hostile_walk {
    const char* name;
    bool shared_chain;     // false: every folder's chain points at itself
    uint64_t max_entries;  // what the whole walk may read
    uint64_t min_items;    // folders reached before the bound ends the walk
};

// 5002 table entries, one sector (16 entries) per cluster.
constexpr uint64_t volume_budget = 2 * 5002 * 16 + 512 + 65536;

class fat_walk_bounds : public ::testing::TestWithParam<hostile_walk> {};

TEST_P(fat_walk_bounds, folders_that_loop_or_overlap_end_quickly) {
    qv::test::temp_dir dir;
    std::string img = dir / "loops.img";
    constexpr uint32_t folders = 400, chain_first = 100, chain_last = 4000;
    fat_builder b(16, 5000);
    // Each folder cluster holds one live file entry, so its sectors never read as "end of folder".
    std::vector<uint8_t> entry(32, 0);
    std::memcpy(entry.data(), "FILLER  BIN", 11);
    entry[11] = 0x20;
    std::vector<uint8_t> cluster;
    for (int i = 0; i < 16; ++i) cluster.insert(cluster.end(), entry.begin(), entry.end());
    for (uint32_t c = chain_first; c <= chain_last; ++c) {
        b.write_cluster(c, cluster);
        b.set_fat(c, GetParam().shared_chain ? (c == chain_last ? chain_first : c + 1) : c);
    }
    for (uint32_t i = 0; i < folders; ++i)
        b.add_entry(0, "D" + std::to_string(1000000 + i) + "   ", 0x10, chain_first + i * 9, 0, false);
    ASSERT_TRUE(b.save(img));

    auto engine = qv::test::scan_fat_volume(img);
    EXPECT_GE(engine->items_found(), GetParam().min_items);
    EXPECT_LE(engine->items_found(), folders);
    EXPECT_LE(engine->entries_read(), GetParam().max_entries);
    qv::close_physical_drives();
}

INSTANTIATE_TEST_SUITE_P(chains, fat_walk_bounds,
                         ::testing::Values(hostile_walk{"self_loops", false, 400 * 2 * 16 + 512, 400},
                                           hostile_walk{"one_shared_circle", true, volume_budget, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
