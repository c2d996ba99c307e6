// The lost-partition search finds exFAT volumes made by mkfs.exfat, and the
// repair plan gives them type 0x07.

#include <gtest/gtest.h>

#include <filesystem>

#include "devices/device_handle.hpp"
#include "partition/mbr_plan.hpp"
#include "partition/partition_search.hpp"
#include "tests/support/test_support.hpp"

using namespace qv::partition;
using namespace qv::test;

namespace {

struct exfat_row {
    const char* what;
    uint64_t start;        // sector of the volume on the drive
    uint64_t mib;          // volume size
    uint32_t cluster;
};

class ExfatPartitionSearch : public testing::TestWithParam<exfat_row> {};

TEST_P(ExfatPartitionSearch, FindsTheVolumeWithItsLengthAndTypeSeven) {
    QV_REQUIRE_TOOL("mkfs.exfat");
    const exfat_row& row = GetParam();
    temp_dir dir;
    const std::string volume = dir / "vol.img";
    std::string out;
    ASSERT_EQ(run("truncate -s " + std::to_string(row.mib) + "M " + shell_quote(volume), &out), 0) << out;
    ASSERT_EQ(run("mkfs.exfat -c " + std::to_string(row.cluster) + " " + shell_quote(volume), &out), 0) << out;
    std::vector<uint8_t> bytes = read_file(volume);
    const uint64_t volume_sectors = bytes.size() / 512;

    // The drive: an empty table sector and gap, the volume, then 1 MiB more.
    std::vector<uint8_t> drive(row.start * 512, 0);
    drive.insert(drive.end(), bytes.begin(), bytes.end());
    drive.resize(drive.size() + (1u << 20), 0);
    qv::memory_device dev(drive);
    std::vector<partition_item_s> found;
    search_hooks hooks;
    hooks.found = [&](const partition_item_s& p) { found.push_back(p); };
    ASSERT_EQ(search_device(dev, hooks), search_done);

    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].fs_name, "exFAT");
    EXPECT_EQ(found[0].partition_type, 0x07);
    EXPECT_EQ(found[0].start_sector, row.start);
    EXPECT_EQ(found[0].end_sector, row.start + volume_sectors - 1);

    std::array<uint8_t, 512> old_sector{};
    mbr_plan plan;
    QString error;
    ASSERT_EQ(plan_partition_table(old_sector, QList<partition_item_s>(found.begin(), found.end()),
                                   qv::disk_geometry{}, drive.size() / 512, &plan, &error),
              0)
        << error.toStdString();
    EXPECT_EQ(plan.new_sector[446 + 4], 0x07);
    EXPECT_EQ(plan.entries[0].first_sector, row.start);
    EXPECT_EQ(plan.entries[0].sector_count, volume_sectors);
}

INSTANTIATE_TEST_SUITE_P(Rows, ExfatPartitionSearch,
                         testing::Values(exfat_row{"at_2048", 2048, 16, 4096},
                                         exfat_row{"at_63", 63, 8, 512},
                                         exfat_row{"at_chunk_edge", 254, 32, 131072}),
                         [](const auto& info) { return std::string(info.param.what); });

}  // namespace
