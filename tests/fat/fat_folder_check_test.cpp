// The directory-cluster check on hostile single entries: what the walk
// takes for folder entries when it follows a folder without a chain.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "devices/le_bytes.hpp"
#include "fat/fat_folder_check.hpp"

namespace {

using qv::byte_view;

TEST(fat_folder_check, hostile_entries_are_not_folder_entries) {
    qv::fat_folder_limits limits{1000, 1 << 20, false};
    auto entry = [](const char* name11, uint8_t attr, uint16_t cluster, uint32_t size) {
        std::vector<uint8_t> e(32, 0);
        std::copy(name11, name11 + 11, e.begin());
        e[11] = attr;
        e[26] = uint8_t(cluster), e[27] = uint8_t(cluster >> 8);
        for (int i = 0; i < 4; ++i) e[28 + i] = uint8_t(size >> (8 * i));
        return e;
    };
    auto ok = [&](const std::vector<uint8_t>& e) { return qv::sane_folder_entry(byte_view(e.data(), 32), limits); };
    EXPECT_TRUE(ok(entry("FILE    TXT", 0x20, 5, 100)));
    EXPECT_TRUE(ok(entry("\xE5ILE    TXT", 0x20, 5, 100)));
    EXPECT_TRUE(ok(entry(".          ", 0x10, 5, 0)));
    EXPECT_TRUE(ok(entry("..         ", 0x10, 0, 0)));
    EXPECT_FALSE(ok(entry("FILE    TXT", 0x20, 1000, 100))) << "cluster past the volume";
    EXPECT_FALSE(ok(entry("FILE    TXT", 0x20, 1, 100))) << "cluster 1";
    EXPECT_FALSE(ok(entry("FILE    TXT", 0x20, 5, (1 << 20) + 1))) << "larger than the volume";
    EXPECT_FALSE(ok(entry("FILE    TXT", 0x60, 5, 1))) << "reserved attribute bit";
    EXPECT_FALSE(ok(entry("FILE    TXT", 0x18, 5, 1))) << "volume label and folder";
    EXPECT_FALSE(ok(entry("FI\x01E    TXT", 0x20, 5, 1))) << "control byte in the name";
    EXPECT_FALSE(ok(entry(" ILE    TXT", 0x20, 5, 1))) << "space first";
    EXPECT_FALSE(ok(entry(".X         ", 0x10, 5, 0))) << "not a dot entry";
    auto lfn = entry("\x41" "a\0b\0c\0d\0e\0", 0x0F, 0, 0);
    EXPECT_TRUE(ok(lfn));
    lfn[0] = 0x55;  // order 21
    EXPECT_FALSE(ok(lfn));
    lfn[0] = 0xE5;
    lfn[26] = 3;  // a long-name entry holds no cluster
    EXPECT_FALSE(ok(lfn));
    EXPECT_EQ(qv::check_folder_cluster(byte_view(), limits), qv::folder_check::not_entries);
}

}  // namespace
