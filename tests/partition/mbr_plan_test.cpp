// The master boot record the repair computes: entry bytes, CHS values, what
// is kept from the old sector, refusals, and the assembled boot loader.

#include <gtest/gtest.h>

#include <QString>

#include <algorithm>
#include <cstring>

#include "devices/le_bytes.hpp"
#include "partition/mbr_loader.hpp"
#include "partition/mbr_plan.hpp"

using namespace qv::partition;

namespace {

const qv::disk_geometry geometry_255_63{};  // 255 heads, 63 sectors per track

partition_item_s ntfs(uint64_t first, uint64_t last) {
    return {"NTFS", 7, first, last};
}
partition_item_s fat32(uint64_t first, uint64_t last) {
    return {"FAT32", 12, first, last};
}

const uint8_t* entry(const mbr_plan& plan, int i) {
    return plan.new_sector.data() + mbr_table_offset + size_t(i) * mbr_entry_bytes;
}

// An old first sector with a disk signature, a table and boot bytes to keep or clear.
sector_bytes_t old_sector_with_table() {
    sector_bytes_t s{};
    for (size_t i = 0; i < s.size(); ++i) s[i] = uint8_t(i * 7 + 1);
    qv::put_le32(s.data() + 440, 0xCAFEF00D);
    s[444] = 0x5A;
    s[445] = 0xA5;
    s[mbr_table_offset + 0 * 16] = 0x00;
    s[mbr_table_offset + 1 * 16] = 0x80;
    s[mbr_table_offset + 2 * 16] = 0x00;
    s[mbr_table_offset + 3 * 16] = 0x80;
    s[510] = 0;
    s[511] = 0;
    return s;
}

mbr_plan plan_of(const QList<partition_item_s>& found, const sector_bytes_t& old = sector_bytes_t{},
                 const qv::disk_geometry& g = geometry_255_63, uint64_t drive_sectors = 0) {
    mbr_plan plan;
    QString error;
    EXPECT_EQ(plan_partition_table(old, found, g, drive_sectors, &plan, &error), 0)
        << error.toStdString();
    return plan;
}

}  // namespace

TEST(MbrPlan, FirstEntryFromSector63To125) {
    mbr_plan plan = plan_of({ntfs(63, 125)});
    const uint8_t expected[16] = {0x80, 1, 1, 0, 0x07, 1, 63, 0, 63, 0, 0, 0, 63, 0, 0, 0};
    EXPECT_EQ(std::memcmp(entry(plan, 0), expected, 16), 0);
    EXPECT_EQ(plan.entries[0].first_sector, 63u);
    EXPECT_EQ(plan.entries[0].sector_count, 63u);
}

struct chs_row {
    const char* name;
    uint32_t sector;
    uint32_t heads, spt;
    uint8_t head, sector_byte, cylinder_byte;
};

class MbrChs : public testing::TestWithParam<chs_row> {};

TEST_P(MbrChs, Bytes) {
    const chs_row& r = GetParam();
    chs_address a = chs_of(r.sector, r.heads, r.spt);
    EXPECT_EQ(a.head, r.head);
    EXPECT_EQ(a.sector, r.sector_byte);
    EXPECT_EQ(a.cylinder, r.cylinder_byte);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MbrChs,
    testing::Values(chs_row{"sector0", 0, 255, 63, 0, 1, 0},
                    chs_row{"sector62", 62, 255, 63, 0, 63, 0},
                    chs_row{"sector63", 63, 255, 63, 1, 1, 0},
                    chs_row{"cylinder300", 300 * 255 * 63, 255, 63, 0, 0x41, 44},
                    chs_row{"cylinder1023_last", 1024 * 255 * 63 - 1, 255, 63, 254, 0xFF, 0xFF},
                    // above 1023 only the low 10 bits of the cylinder remain
                    chs_row{"cylinder1024_wraps", 1024 * 255 * 63, 255, 63, 0, 1, 0},
                    chs_row{"top_of_32_bits", 0xFFFFFFFFu, 255, 63, 0x59, 0x04, 0x55},
                    chs_row{"small_geometry", 1000, 16, 32, 15, 9, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MbrPlan, KeepsDiskSignatureAndBootBytesAndSetsSignature) {
    const sector_bytes_t old = old_sector_with_table();
    mbr_plan plan =
        plan_of({fat32(2048, 4095), ntfs(4096, 8191), fat32(8192, 9000), ntfs(9001, 9999)}, old);
    EXPECT_EQ(std::memcmp(plan.new_sector.data() + 440, old.data() + 440, 6), 0);
    EXPECT_EQ(entry(plan, 0)[0], 0x80);
    EXPECT_EQ(entry(plan, 1)[0], 0x80);  // as read
    EXPECT_EQ(entry(plan, 2)[0], 0x00);
    EXPECT_EQ(entry(plan, 3)[0], 0x80);
    EXPECT_EQ(plan.new_sector[510], 0x55);
    EXPECT_EQ(plan.new_sector[511], 0xAA);
    EXPECT_EQ(std::memcmp(plan.new_sector.data(), mbr_loader_code.data(), mbr_loader_bytes), 0);
    EXPECT_EQ(plan.old_sector, old);
    qv::byte_view e4(entry(plan, 3), 16);
    EXPECT_EQ(e4.u8(4), 0x07);
    EXPECT_EQ(e4.le32(8), 9001u);
    EXPECT_EQ(e4.le32(12), 999u);
}

TEST(MbrPlan, InvalidBootByteOfLaterEntryIsCleared) {
    sector_bytes_t old{};
    old[mbr_table_offset + 16] = 0x17;  // would make the kernel reject the table
    mbr_plan plan = plan_of({ntfs(100, 199), ntfs(200, 299)}, old);
    EXPECT_EQ(entry(plan, 1)[0], 0x00);
}

TEST(MbrPlan, FifthPartitionIsLeftOutAndUnusedEntriesAreZero) {
    const sector_bytes_t old = old_sector_with_table();
    mbr_plan five =
        plan_of({ntfs(10, 19), ntfs(20, 29), ntfs(30, 39), ntfs(40, 49), ntfs(50, 59)}, old);
    EXPECT_EQ(five.left_out, 1);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(qv::byte_view(entry(five, i), 16).le32(8), 10u + 10u * uint32_t(i));
    EXPECT_TRUE(describe_plan(five).contains("1 further found partition(s) not written"));

    mbr_plan one = plan_of({fat32(2048, 10000)}, old);
    for (int i = 1; i < 4; ++i) {
        EXPECT_FALSE(one.entries[size_t(i)].used);
        EXPECT_TRUE(
            std::all_of(entry(one, i), entry(one, i) + 16, [](uint8_t b) { return b == 0; }));
    }
}

struct refusal_row {
    const char* name;
    partition_item_s item;
    uint64_t drive_sectors;
};

class MbrPlanRefusal : public testing::TestWithParam<refusal_row> {};

TEST_P(MbrPlanRefusal, NothingPlanned) {
    mbr_plan plan;
    plan.drive = "untouched";
    QString error;
    EXPECT_EQ(plan_partition_table(sector_bytes_t{}, {ntfs(63, 100), GetParam().item},
                                   geometry_255_63, GetParam().drive_sectors, &plan, &error),
              -1);
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(plan.entries[0].used);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MbrPlanRefusal,
    testing::Values(refusal_row{"start_beyond_32_bits", ntfs(0x100000000ull, 0x100000010ull), 0},
                    refusal_row{"count_beyond_32_bits", ntfs(1000, 1000 + 0x100000000ull), 0},
                    refusal_row{"end_before_start", ntfs(5000, 4000), 0},
                    refusal_row{"saturated_end", ntfs(1000, ~uint64_t(0)), 0},
                    refusal_row{"past_the_drive_end", fat32(1000, 20000), 20000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MbrPlan, EmptyListIsRefused) {
    mbr_plan plan;
    QString error;
    EXPECT_EQ(plan_partition_table(sector_bytes_t{}, {}, geometry_255_63, 0, &plan, &error), -1);
    EXPECT_FALSE(error.isEmpty());
}

TEST(MbrPlan, ImpossibleGeometryFallsBackTo255And63) {
    qv::disk_geometry g;
    g.tracks_per_cylinder = 0;
    g.sectors_per_track = 200;
    mbr_plan plan = plan_of({ntfs(63, 125)}, sector_bytes_t{}, g);
    EXPECT_EQ(plan.heads, 255u);
    EXPECT_EQ(plan.sectors_per_track, 63u);
    EXPECT_EQ(entry(plan, 0)[1], 1);  // head of sector 63
}

TEST(MbrPlan, DescriptionListsEveryEntry) {
    mbr_plan plan;
    plan.drive = "/dev/sdz";
    QString error;
    ASSERT_EQ(plan_partition_table(old_sector_with_table(),
                                   {ntfs(63, 125), fat32(300 * 255 * 63, 300 * 255 * 63 + 99)},
                                   geometry_255_63, 0, &plan, &error),
              0);
    const QString text = describe_plan(plan);
    EXPECT_TRUE(text.contains("/dev/sdz")) << text.toStdString();
    EXPECT_TRUE(text.contains(
        "entry 1: boot 0x80, type 0x07 (NTFS), CHS 0/1/1 to 0/1/63, first sector 63, 63 sectors"))
        << text.toStdString();
    EXPECT_TRUE(
        text.contains("entry 2: boot 0x80, type 0x0c (FAT32), CHS 300/0/1 to 300/1/37, first "
                      "sector 4819500, 100 sectors"))
        << text.toStdString();
    EXPECT_TRUE(text.contains("entry 3: empty"));
    EXPECT_TRUE(text.contains("disk signature 0xcafef00d kept"));
}

TEST(MbrLoader, CarriesItsMessages) {
    const auto& code = mbr_loader_code;
    auto contains = [&](const char* text) {
        return std::search(code.begin(), code.end(), text, text + std::strlen(text) + 1) !=
               code.end();
    };
    EXPECT_TRUE(contains("Invalid partition table"));
    EXPECT_TRUE(contains("Error loading operating system"));
    EXPECT_TRUE(contains("Missing operating system"));
}
