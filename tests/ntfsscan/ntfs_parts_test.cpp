// Boot sector, runlist and time decoding, row by row.

#include <gtest/gtest.h>

#include <cstring>

#include "ntfsscan/file_record.hpp"
#include "ntfsscan/ntfs_boot.hpp"
#include "ntfsscan/runlist.hpp"
#include "tests/ntfsscan/ntfs_test_image.hpp"

using namespace qv::ntfs;
using qv::byte_view;

namespace {

struct boot_row {
    const char* what;
    uint16_t bytes_per_sector;
    uint8_t sectors_per_cluster;
    uint8_t record_byte;
    uint64_t mft_lcn;
    uint32_t cluster_size;  // 0: must be rejected
    uint32_t record_size;
};

TEST(NtfsBoot, DecodesClusterAndRecordSizes) {
    const boot_row rows[] = {
        {"4 KiB clusters, 1 KiB records", 512, 8, 0xF6, 4, 4096, 1024},
        {"0x80 is 128 sectors, not negative", 512, 0x80, 0xF6, 4, 65536, 1024},
        {"0xF8: 2^8 sectors = 128 KiB", 512, 0xF8, 0xF6, 4, 131072, 1024},
        {"0xF4: 2 MiB clusters", 512, 0xF4, 0xF6, 4, 2u << 20, 1024},
        {"0xF3: 4 MiB clusters are too large", 512, 0xF3, 0xF6, 4, 0, 0},
        {"records of two clusters", 512, 1, 2, 4, 512, 1024},
        {"64 KiB records", 4096, 1, 0xF0, 4, 4096, 65536},
        {"512-byte records", 512, 1, 0xF7, 4, 512, 512},
        {"128 KiB records are too large", 512, 1, 0xEF, 4, 0, 0},
        {"record byte 0", 512, 8, 0, 4, 0, 0},
        {"zero sectors per cluster", 512, 0, 0xF6, 4, 0, 0},
        {"three sectors per cluster", 512, 3, 0xF6, 4, 0, 0},
        {"zero bytes per sector", 0, 8, 0xF6, 4, 0, 0},
        {"8 KiB sectors", 8192, 1, 0xF6, 4, 0, 0},
        {"MFT outside the volume", 512, 8, 0xF6, 1u << 20, 0, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<uint8_t> s(512, 0);
        std::memcpy(s.data() + 3, "NTFS    ", 8);
        qv::test::put16(s, 0x0B, row.bytes_per_sector);
        s[0x0D] = row.sectors_per_cluster;
        qv::test::put64(s, 0x28, 1u << 20);
        qv::test::put64(s, 0x30, row.mft_lcn);
        s[0x40] = row.record_byte;
        auto g = parse_boot_sector(byte_view(s.data(), s.size()));
        if (row.cluster_size == 0) {
            EXPECT_FALSE(g.has_value());
            continue;
        }
        ASSERT_TRUE(g.has_value());
        EXPECT_EQ(g->cluster_size, row.cluster_size);
        EXPECT_EQ(g->record_size, row.record_size);
    }
}

TEST(NtfsBoot, CountsClustersFromTheDeclaredSectors) {
    std::vector<uint8_t> s(512, 0);
    std::memcpy(s.data() + 3, "NTFS    ", 8);
    qv::test::put16(s, 0x0B, 512);
    s[0x0D] = 8;
    qv::test::put64(s, 0x28, 32767);  // the last sector holds the copy
    qv::test::put64(s, 0x30, 4);
    s[0x40] = 0xF6;
    auto g = parse_boot_sector(byte_view(s.data(), s.size()));
    ASSERT_TRUE(g.has_value());
    EXPECT_EQ(g->cluster_count, 4095u);
    EXPECT_EQ(g->mft_lcn, 4u);
    EXPECT_FALSE(parse_boot_sector(byte_view(s.data(), 100)).has_value());
    qv::test::put64(s, 0x28, 4);  // less than one cluster
    EXPECT_FALSE(parse_boot_sector(byte_view(s.data(), s.size())).has_value());
}

struct run_row {
    const char* what;
    std::vector<uint8_t> pairs;
    std::vector<cluster_run> runs;  // empty with ok false: must be rejected
    bool ok;
};

TEST(NtfsRunlist, DecodesAndRejects) {
    const run_row rows[] = {
        {"one run", {0x11, 0x04, 0x10, 0x00}, {{0, 16, 4, false}}, true},
        {"negative delta", {0x11, 0x04, 0x20, 0x11, 0x02, 0xF0, 0x00},
         {{0, 32, 4, false}, {4, 16, 2, false}}, true},
        {"sparse run", {0x01, 0x08, 0x11, 0x02, 0x30, 0x00}, {{0, 0, 8, true}, {8, 48, 2, false}}, true},
        {"two-byte offset", {0x21, 0x05, 0x40, 0x00, 0x00}, {{0, 64, 5, false}}, true},
        {"empty list", {0x00}, {}, true},
        {"zero-length run", {0x11, 0x00, 0x10, 0x00}, {}, false},
        {"run past the volume", {0x11, 0x10, 0x5A, 0x00}, {}, false},
        {"run starting past the volume", {0x11, 0x01, 0x64, 0x00}, {}, false},
        {"negative cluster", {0x11, 0x01, 0xF0, 0x00}, {}, false},
        {"no terminator", {0x11, 0x04, 0x10}, {}, false},
        {"truncated fields", {0x44, 0x01}, {}, false},
        {"nine-byte offset", {0x91, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x00}, {}, false},
        {"huge sparse run", {0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x00}, {}, false},
        {"offset overflow", {0x81, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F,
                             0x81, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x00}, {}, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<cluster_run> out;
        uint64_t end = 0;
        bool ok = decode_runlist(byte_view(row.pairs.data(), row.pairs.size()), 0, 100, out, &end);
        ASSERT_EQ(ok, row.ok);
        if (!ok) continue;
        ASSERT_EQ(out.size(), row.runs.size());
        uint64_t vcn = 0;
        for (size_t i = 0; i < out.size(); ++i) {
            EXPECT_EQ(out[i].vcn, row.runs[i].vcn);
            EXPECT_EQ(out[i].length, row.runs[i].length);
            EXPECT_EQ(out[i].sparse, row.runs[i].sparse);
            if (!out[i].sparse) {
                EXPECT_EQ(out[i].lcn, row.runs[i].lcn);
            }
            vcn += out[i].length;
        }
        EXPECT_EQ(end, vcn);
    }
}

TEST(NtfsTimes, FiletimeToUnixSeconds) {
    EXPECT_EQ(filetime_to_unix(0), 0);
    EXPECT_EQ(filetime_to_unix(qv::test::filetime(1700000000)), 1700000000);
    EXPECT_EQ(filetime_to_unix(qv::test::filetime(0)), 0);
    EXPECT_EQ(filetime_to_unix(116444736000000000ull - 10000000), -1);
}

}  // namespace
