// The exFAT reader's parts: timestamps, checksums, the boot region and its backup, entry sets.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "devices/device_handle.hpp"
#include "exfat/boot_region.hpp"
#include "exfat/entry_set.hpp"
#include "exfat/exfat_time.hpp"
#include "exfat/exfat_volume.hpp"
#include "tests/exfat/exfat_scan.hpp"
#include "tests/exfat/exfat_test_image.hpp"

using namespace qv;
using namespace qv::test;

namespace {

uint32_t stamp_of(int year, int month, int day, int hour, int minute, int second) {
    return uint32_t(year - 1980) << 25 | uint32_t(month) << 21 | uint32_t(day) << 16 | uint32_t(hour) << 11 |
           uint32_t(minute) << 5 | uint32_t(second / 2);
}

struct time_row {
    const char* what;
    uint32_t stamp;
    uint8_t ten_ms;
    uint8_t utc;
    int64_t seconds;
    uint32_t nanoseconds;
    bool utc_known;
};

class ExfatTime : public testing::TestWithParam<time_row> {};

TEST_P(ExfatTime, DecodesToUtc) {
    const time_row& r = GetParam();
    exfat::timestamp t = exfat::decode_time(r.stamp, r.ten_ms, r.utc);
    EXPECT_EQ(t.seconds, r.seconds);
    EXPECT_EQ(t.nanoseconds, r.nanoseconds);
    EXPECT_EQ(t.utc_known, r.utc_known);
}

// 2023-05-17 13:45:22 is 1684331122 in UTC. Tests run with TZ=UTC, so a
// time without a valid offset reads as UTC too.
INSTANTIATE_TEST_SUITE_P(
    Rows, ExfatTime,
    testing::Values(
        time_row{"utc", stamp_of(2023, 5, 17, 13, 45, 22), 0, 0x80, 1684331122, 0, true},
        time_row{"10ms_under_a_second", stamp_of(2023, 5, 17, 13, 45, 22), 37, 0x80, 1684331122, 370000000, true},
        time_row{"10ms_over_a_second", stamp_of(2023, 5, 17, 13, 45, 22), 199, 0x80, 1684331123, 990000000, true},
        time_row{"plus_two_hours", stamp_of(2023, 5, 17, 13, 45, 22), 0, 0x80 | 8, 1684331122 - 7200, 0, true},
        time_row{"minus_five_hours", stamp_of(2023, 5, 17, 13, 45, 22), 0, 0x80 | uint8_t(0x80 - 20),
                 1684331122 + 18000, 0, true},
        time_row{"plus_five_forty_five", stamp_of(2023, 5, 17, 13, 45, 22), 0, 0x80 | 23,
                 1684331122 - 20700, 0, true},
        time_row{"no_offset_is_local", stamp_of(2023, 5, 17, 13, 45, 22), 0, 0x08, 1684331122, 0, false},
        time_row{"first_day", stamp_of(1980, 1, 1, 0, 0, 0), 0, 0x80, 315532800, 0, true},
        time_row{"bad_month", stamp_of(2023, 13, 1, 0, 0, 0), 0, 0x80, 0, 0, false},
        time_row{"bad_day", stamp_of(2023, 1, 0, 0, 0, 0), 0, 0x80, 0, 0, false},
        time_row{"bad_hour", stamp_of(2023, 1, 1, 24, 0, 0), 0, 0x80, 0, 0, false},
        time_row{"ten_ms_out_of_range", stamp_of(2023, 5, 17, 13, 45, 22), 250, 0x80, 1684331122, 0, true}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(ExfatChecksums, BootAndSetChecksumsMatchWhatMkfsAndTheMountWrote) {
    temp_dir dir;
    const std::string image = dir / "sums.img";
    std::string why;
    if (!make_exfat_image(image, 32, 4096, &why)) GTEST_SKIP() << why;
    auto bytes = read_file(image);
    byte_view v(bytes.data(), bytes.size());
    const uint32_t sum = exfat::boot_checksum(v.sub(0, 11 * 512), 512);
    EXPECT_EQ(v.le32(11 * 512), sum);
    EXPECT_EQ(v.le32(23 * 512), sum);  // the backup region's checksum sector
    // The two ignored fields do not count.
    bytes[106] ^= 0x02;
    bytes[112] = 77;
    EXPECT_EQ(exfat::boot_checksum(byte_view(bytes.data(), 11 * 512), 512), sum);
    bytes[113] ^= 1;
    EXPECT_NE(exfat::boot_checksum(byte_view(bytes.data(), 11 * 512), 512), sum);
}

struct boot_damage_row {
    const char* what;
    size_t offset;  // byte of the main boot region to change
    uint8_t value;
};

class ExfatBootBackup : public testing::TestWithParam<boot_damage_row> {};

TEST_P(ExfatBootBackup, DamagedMainRegionFallsBackToTheBackup) {
    temp_dir dir;
    const std::string image = dir / "boot.img";
    std::string why;
    if (!make_exfat_image(image, 32, 4096, &why)) GTEST_SKIP() << why;
    {
        exfat_mount m;
        if (!m.mount(image, dir / "mnt", &why)) GTEST_SKIP() << why;
        write_file(m / "lost.txt", pseudo_random_bytes(5000, 7));
        ASSERT_EQ(std::remove((m / "lost.txt").c_str()), 0);
        ASSERT_TRUE(m.unmount());
    }
    auto bytes = read_file(image);
    bytes.at(GetParam().offset) = GetParam().value;
    exfat_scan s = scan_exfat_bytes(bytes);
    ASSERT_EQ(s.open_result, 0);
    EXPECT_TRUE(s.volume->layout().from_backup);
    auto items = s.by_path();
    ASSERT_TRUE(items.count("/lost.txt"));
    EXPECT_EQ(s.copy(*items["/lost.txt"], dir / "out"), pseudo_random_bytes(5000, 7));

    // Both regions damaged: no volume.
    bytes.at(12 * 512 + GetParam().offset % 512) ^= 0xFF;
    bytes.at(12 * 512 + 3) = 'X';
    exfat_scan none = scan_exfat_bytes(bytes);
    EXPECT_EQ(none.open_result, exfat::open_bad_boot);
}

INSTANTIATE_TEST_SUITE_P(Rows, ExfatBootBackup,
                         testing::Values(boot_damage_row{"name", 3, 'X'},
                                         boot_damage_row{"cluster_count", 92, 0xFF},
                                         boot_damage_row{"extended_sector", 600, 0x5A},
                                         boot_damage_row{"checksum_sector", 11 * 512 + 8, 0x00},
                                         boot_damage_row{"signature", 510, 0x00},
                                         boot_damage_row{"sector_shift", 108, 13}),
                         [](const auto& info) { return std::string(info.param.what); });

TEST(ExfatBoot, LooksLikeBootSectorGivesTheLengthInFiveHundredTwelveByteSectors) {
    std::vector<uint8_t> s(512, 0);
    const uint8_t jump[3] = {0xEB, 0x76, 0x90};
    std::copy(jump, jump + 3, s.begin());
    std::memcpy(s.data() + 3, "EXFAT   ", 8);
    s[510] = 0x55;
    s[511] = 0xAA;
    put_le64(s.data() + 72, 1000);
    s[108] = 12;  // 4 KiB sectors
    uint64_t sectors = 0;
    EXPECT_TRUE(exfat::looks_like_boot_sector(byte_view(s.data(), s.size()), &sectors));
    EXPECT_EQ(sectors, 8000u);
    s[108] = 8;
    EXPECT_FALSE(exfat::looks_like_boot_sector(byte_view(s.data(), s.size()), &sectors));
    s[108] = 9;
    s[4] = 'Y';
    EXPECT_FALSE(exfat::looks_like_boot_sector(byte_view(s.data(), s.size()), &sectors));
}

// Entry sets built in memory: a deleted set, with its checksum intact, broken,
// or its tail overwritten by a newer set.
std::vector<uint8_t> build_set(const std::u16string& name, uint32_t first_cluster, uint64_t size, bool deleted) {
    size_t names = (name.size() + 14) / 15;
    std::vector<uint8_t> e((2 + names) * 32, 0);
    e[0] = 0x85;
    e[1] = uint8_t(1 + names);
    put_le16(e.data() + 4, 0x20);
    put_le32(e.data() + 12, stamp_of(2022, 2, 3, 4, 5, 6));
    e[23] = 0x80;
    e[32] = 0xC0;
    e[33] = 0x03;
    e[35] = uint8_t(name.size());
    put_le64(e.data() + 40, size);
    put_le32(e.data() + 52, first_cluster);
    put_le64(e.data() + 56, size);
    for (size_t k = 0; k < names; ++k) {
        e[64 + 32 * k] = 0xC1;
        for (size_t u = 0; u < 15 && 15 * k + u < name.size(); ++u)
            put_le16(e.data() + 64 + 32 * k + 2 + 2 * u, name[15 * k + u]);
    }
    fix_set_checksum(e, 0);
    if (deleted) clear_in_use(e, 0);
    return e;
}

qv::exfat::geometry small_geometry() {
    qv::exfat::geometry g;
    g.cluster_size = 4096;
    g.cluster_count = 1000;
    g.heap_offset = 1 << 20;
    return g;
}

TEST(ExfatEntrySet, DeletedSetWithIntactChecksum) {
    auto e = build_set(u"hello world, a long name.txt", 10, 5000, true);
    exfat::entry_set set;
    ASSERT_TRUE(exfat::parse_entry_set(byte_view(e.data(), e.size()), 0, set));
    EXPECT_TRUE(set.deleted);
    EXPECT_TRUE(set.checksum_ok);
    EXPECT_TRUE(set.name_complete);
    EXPECT_FALSE(set.doubtful());
    EXPECT_EQ(set.name, "hello world, a long name.txt");
    EXPECT_EQ(set.entries, 4u);
    EXPECT_EQ(set.first_cluster, 10u);
    EXPECT_EQ(set.data_length, 5000u);
    EXPECT_TRUE(set.no_fat_chain());
    EXPECT_TRUE(set.usable(small_geometry()));
}

struct set_damage_row {
    const char* what;
    size_t offset;
    uint8_t value;
    bool usable;     // listed at all
    bool doubtful;
};

class ExfatSetDamage : public testing::TestWithParam<set_damage_row> {};

TEST_P(ExfatSetDamage, BadChecksumsAreDoubtfulWhenTheStreamIsSane) {
    auto e = build_set(u"photo_0001.jpg", 10, 5000, true);
    e.at(GetParam().offset) = GetParam().value;
    exfat::entry_set set;
    ASSERT_TRUE(exfat::parse_entry_set(byte_view(e.data(), e.size()), 0, set));
    EXPECT_EQ(set.usable(small_geometry()), GetParam().usable);
    EXPECT_EQ(set.doubtful(), GetParam().doubtful);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ExfatSetDamage,
    testing::Values(set_damage_row{"name_unit", 64 + 4, 'Q', true, true},
                    set_damage_row{"stored_checksum", 2, 0x00, true, true},
                    set_damage_row{"cluster_past_the_end", 52 + 1, 0x7F, false, true},
                    set_damage_row{"valid_length_over_size", 40 + 2, 0x10, false, true},
                    set_damage_row{"size_past_the_heap", 56 + 3, 0x40, false, true},
                    set_damage_row{"name_length_zero", 35, 0, false, true}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(ExfatEntrySet, NewerSetOverTheTailLeavesAPartialDoubtfulName) {
    auto old_set = build_set(u"an old name that needs two entries.doc", 20, 100, true);
    auto new_set = build_set(u"new.txt", 30, 10, false);
    std::vector<uint8_t> dir(old_set.begin(), old_set.begin() + 3 * 32);
    dir.insert(dir.end(), new_set.begin(), new_set.end());
    byte_view v(dir.data(), dir.size());
    exfat::entry_set set;
    ASSERT_TRUE(exfat::parse_entry_set(v, 0, set));
    EXPECT_EQ(set.entries, 3u);
    EXPECT_TRUE(set.doubtful());
    EXPECT_EQ(set.name, "an old name tha");
    EXPECT_TRUE(set.usable(small_geometry()));
    exfat::entry_set next;
    ASSERT_TRUE(exfat::parse_entry_set(v, 3, next));
    EXPECT_FALSE(next.deleted);
    EXPECT_EQ(next.name, "new.txt");
    EXPECT_FALSE(next.doubtful());
}

}  // namespace

namespace {

// Free space of an unmounted volume, from its bitmap, against what the mount
// itself reported before it was unmounted.
TEST(ExfatFreeSpace, BitmapCountMatchesTheMountedVolume) {
    temp_dir dir;
    const std::string image = dir / "free.img";
    std::string why;
    if (!make_exfat_image(image, 64, 4096, &why)) GTEST_SKIP() << why;
    uint64_t mounted_free = 0;
    {
        exfat_mount m;
        if (!m.mount(image, dir / "mnt", &why)) GTEST_SKIP() << why;
        write_file(m / "a.bin", pseudo_random_bytes(3 << 20, 1));
        write_file(m / "b.bin", pseudo_random_bytes(100000, 2));
        std::string out;
        ASSERT_EQ(run("df -B1 --output=avail " + shell_quote(m.dir()) + " | tail -1", &out), 0);
        mounted_free = std::stoull(out);
        ASSERT_TRUE(m.unmount());
    }
    std::string error;
    auto dev = qv::file_device::open(image, 0, 0, true, qv::access_mode::read_only, &error);
    ASSERT_TRUE(dev) << error;
    auto free = qv::exfat::free_bytes(*dev);
    ASSERT_TRUE(free.has_value());
    EXPECT_EQ(*free, mounted_free);

    // No bitmap to read: nothing rather than a wrong figure.
    qv::memory_device zeros(std::vector<uint8_t>(1 << 20, 0));
    EXPECT_FALSE(qv::exfat::free_bytes(zeros).has_value());
}

}  // namespace
