// The search walk over drives built in memory: where finds land, where the
// search continues, and hostile or truncated drives.

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <random>

#include "devices/device_handle.hpp"
#include "tests/support/test_devices.hpp"
#include "partition/boot_sector_tests.hpp"
#include "partition/partition_search.hpp"
#include "tests/partition/boot_images.hpp"

using namespace qv::partition;
using qv::test::put_fat32_boot;
using qv::test::put_ntfs_boot;
using qv::test::sector;

namespace {

constexpr uint64_t u64_max = std::numeric_limits<uint64_t>::max();

struct found_list {
    std::vector<partition_item_s> items;
    double progress = -1.0;
    search_result result = search_done;
};

void search(qv::device_handle& dev, found_list* out, std::function<bool()> stop = {},
            search_reach reach = search_reach::every_sector) {
    std::atomic<double> progress{-1.0};
    search_hooks hooks;
    hooks.reach = reach;
    hooks.progress = &progress;
    hooks.stop = std::move(stop);
    hooks.found = [out](const partition_item_s& p) { out->items.push_back(p); };
    out->result = search_device(dev, hooks);
    out->progress = progress.load();
}

found_list search_bytes(std::vector<uint8_t> bytes) {
    qv::memory_device dev(std::move(bytes));
    found_list out;
    search(dev, &out);
    return out;
}

// Chunk by chunk, one 128 KiB read each: the plain form of the walk, to hold
// the windowed reads of search_device against.
std::vector<partition_item_s> reference_search(const std::vector<uint8_t>& drive) {
    std::vector<partition_item_s> found;
    const uint64_t size = drive.size();
    uint64_t p = 0;
    while (p * sector < size) {
        if (size - p * sector < chunk_sectors * sector) break;
        qv::byte_view chunk(drive.data() + p * sector, chunk_sectors * sector);
        uint64_t next = p + candidates_per_chunk;
        for (uint64_t j = 0; j < candidates_per_chunk; ++j) {
            boot_candidate c = examine_boot_sector(chunk, j * sector);
            if (c.kind == boot_kind::none) continue;
            found.push_back({c.kind == boot_kind::ntfs ? "NTFS" : "FAT32",
                             c.kind == boot_kind::ntfs ? 7 : 12, p + j, p + j + c.length - 1});
            next = p + j + c.length;
            break;
        }
        p = next;
    }
    return found;
}

}  // namespace

TEST(PartitionSearch, NtfsFoundAndSearchContinuesAfterItsLastSector) {
    const uint64_t n = 5000;
    std::vector<uint8_t> drive(12000 * sector);
    put_ntfs_boot(drive, 2048, n);
    put_ntfs_boot(drive, 2048 + n, n);      // the backup boot sector: inside the body, skipped
    put_fat32_boot(drive, 2049 + n, 3000);  // first sector after the body
    found_list f = search_bytes(drive);
    ASSERT_EQ(f.items.size(), 2u);
    EXPECT_EQ(f.items[0].fs_name, "NTFS");
    EXPECT_EQ(f.items[0].partition_type, 7);
    EXPECT_EQ(f.items[0].start_sector, 2048u);
    EXPECT_EQ(f.items[0].end_sector, 2048 + n);
    EXPECT_EQ(f.items[1].fs_name, "FAT32");
    EXPECT_EQ(f.items[1].partition_type, 12);
    EXPECT_EQ(f.items[1].start_sector, 2049 + n);
    EXPECT_EQ(f.items[1].end_sector, 2049 + n + 3000 - 1);
    EXPECT_EQ(f.progress, 1.0);
    EXPECT_EQ(f.result, search_done);
}

TEST(PartitionSearch, Fat32FoundAndSearchContinuesAfterItsBody) {
    const uint32_t n = 4000;
    std::vector<uint8_t> drive(9000 * sector);
    put_fat32_boot(drive, 63, n);
    put_fat32_boot(drive, 62 + n, 100);  // last sector of the body: never a candidate
    put_ntfs_boot(drive, 63 + n, 200);
    found_list f = search_bytes(drive);
    ASSERT_EQ(f.items.size(), 2u);
    EXPECT_EQ(f.items[0].start_sector, 63u);
    EXPECT_EQ(f.items[0].end_sector, 62u + n);
    EXPECT_EQ(f.items[1].fs_name, "NTFS");
    EXPECT_EQ(f.items[1].start_sector, 63u + n);
}

struct placement_row {
    const char* name;
    uint64_t at;      // sector of the boot sector
    std::string oem;  // FAT32 OEM name; empty for NTFS
    bool fsinfo_signature;
    bool found;
};

class PartitionSearchPlacement : public testing::TestWithParam<placement_row> {};

TEST_P(PartitionSearchPlacement, FoundOnlyWhereTheTestsPass) {
    const placement_row& row = GetParam();
    std::vector<uint8_t> drive(3000 * sector);
    if (row.oem.empty())
        put_ntfs_boot(drive, row.at, 99);
    else
        put_fat32_boot(drive, row.at, 100, row.oem, row.fsinfo_signature);
    found_list f = search_bytes(drive);
    if (!row.found) {
        EXPECT_TRUE(f.items.empty());
    } else {
        ASSERT_EQ(f.items.size(), 1u);
        EXPECT_EQ(f.items[0].start_sector, row.at);
        EXPECT_EQ(f.items[0].end_sector, row.at + 99);
    }
    EXPECT_EQ(f.progress, 1.0);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PartitionSearchPlacement,
    testing::Values(placement_row{"ntfs_sector0", 0, "", true, true},
                    placement_row{"ntfs_last_candidate_of_chunk", 254, "", true, true},
                    placement_row{"ntfs_sector255_is_next_chunks_first", 255, "", true, true},
                    placement_row{"ntfs_second_chunk_boundary", 510, "", true, true},
                    placement_row{"fat32_mswin", 700, "MSWIN4.1", true, true},
                    placement_row{"fat32_msdos", 701, "MSDOS5.0", true, true},
                    placement_row{"fat32_at_chunk_end_uses_next_sector", 254, "MSDOS5.0", true,
                                  true},
                    // Another OEM name with only the fields Windows' name needs: not enough.
                    placement_row{"fat32_mkfs_oem_not_found", 702, "mkfs.fat", true, false},
                    placement_row{"fat32_lower_case_oem_not_found", 703, "mswin4.1", true, false},
                    placement_row{"fat32_without_second_signature", 704, "MSWIN4.1", false, false}),
    [](const auto& info) { return std::string(info.param.name); });

struct length_row {
    const char* name;
    bool ntfs;
    uint64_t count;  // the boot sector's field
    bool found;      // the candidate at 10 is kept
    bool later_found;
};

class PartitionSearchHostileLength : public testing::TestWithParam<length_row> {};

// A stated length of 0 would find the same sector again forever; a huge one
// must neither overflow nor hang.
TEST_P(PartitionSearchHostileLength, AlwaysAdvances) {
    const length_row& row = GetParam();
    std::vector<uint8_t> drive(2000 * sector);
    if (row.ntfs)
        put_ntfs_boot(drive, 10, row.count);
    else
        put_fat32_boot(drive, 10, uint32_t(row.count));
    put_ntfs_boot(drive, 600, 20);
    found_list f = search_bytes(drive);
    size_t expected = size_t(row.found) + size_t(row.later_found);
    ASSERT_EQ(f.items.size(), expected);
    if (row.found) {
        EXPECT_EQ(f.items[0].start_sector, 10u);
        EXPECT_GE(f.items[0].end_sector, f.items[0].start_sector);  // saturated, never wrapped
    }
    if (row.later_found) {
        EXPECT_EQ(f.items.back().start_sector, 600u);
    }
    EXPECT_EQ(f.progress, 1.0);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PartitionSearchHostileLength,
    testing::Values(length_row{"fat32_zero", false, 0, false, true},
                    length_row{"ntfs_count_max_wraps_to_zero", true, u64_max, false, true},
                    length_row{"ntfs_zero_count_is_one_sector", true, 0, true, true},
                    length_row{"fat32_max", false, 0xFFFFFFFFu, true, false},
                    length_row{"ntfs_huge", true, uint64_t(1) << 62, true, false},
                    length_row{"ntfs_count_max_minus_one", true, u64_max - 1, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

struct size_row {
    const char* name;
    uint64_t bytes;
    uint64_t boot_at;
    bool found;
};

class PartitionSearchDriveSize : public testing::TestWithParam<size_row> {};

TEST_P(PartitionSearchDriveSize, ShortAndTruncatedDrives) {
    const size_row& row = GetParam();
    std::vector<uint8_t> drive(row.bytes + 2 * sector);
    put_ntfs_boot(drive, row.boot_at, 3);
    drive.resize(row.bytes);
    found_list f = search_bytes(drive);
    EXPECT_EQ(f.items.size(), row.found ? 1u : 0u);
    EXPECT_EQ(f.progress, 1.0);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PartitionSearchDriveSize,
    testing::Values(size_row{"empty", 0, 0, false}, size_row{"one_sector", 512, 0, false},
                    size_row{"shorter_than_a_chunk", 131071, 0, false},
                    size_row{"exactly_one_chunk", 131072, 254, true},
                    // sector 255 of a one-chunk drive is never a candidate
                    size_row{"exactly_one_chunk_last_sector", 131072, 255, false},
                    // the chunk at 255 runs 1 sector past the end: not read
                    size_row{"one_chunk_plus_254_sectors", 131072 + 254 * 512, 300, false},
                    size_row{"one_chunk_plus_255_sectors", 131072 + 255 * 512, 300, true},
                    size_row{"odd_size_truncated_tail", 131072 * 3 + 77, 765, false},
                    size_row{"odd_size_full_chunk", 131072 * 3 + 77, 600, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PartitionSearch, ReadErrorEndsTheSearchWithWhatWasFound) {
    std::vector<uint8_t> drive(40000 * sector);
    put_ntfs_boot(drive, 100, 50);
    put_ntfs_boot(drive, 9000, 50);   // before the bad area, in a window that reaches it
    put_ntfs_boot(drive, 30000, 50);  // after it
    qv::failing_device dev(drive, {{10000 * sector, 10001 * sector}});
    found_list f;
    search(dev, &f);
    ASSERT_EQ(f.items.size(), 2u);
    EXPECT_EQ(f.items[1].start_sector, 9000u);
    EXPECT_EQ(f.progress, 1.0);
}

TEST(PartitionSearch, StopRequestEndsBeforeTheNextChunk) {
    std::vector<uint8_t> drive(50000 * sector);
    put_ntfs_boot(drive, 5, 10);
    put_ntfs_boot(drive, 40000, 10);
    qv::memory_device dev(drive);
    found_list f;
    int asked = 0;
    search(dev, &f, [&] { return ++asked > 3; });
    EXPECT_EQ(f.result, search_stopped);
    EXPECT_EQ(asked, 4);
    ASSERT_EQ(f.items.size(), 1u);  // what was found before the stop stays
    EXPECT_LT(f.progress, 1.0);
}

// Random drives with boot sectors everywhere, including across the 1 MiB read
// windows: the windowed walk must find exactly what chunk reads would.
// Another OEM name is taken when the parameter block holds together; each
// row spoils one field of a block that mkfs.fat could have written.
TEST(PartitionSearch, Fat32WithAnyOemNameNeedsAWholeParameterBlock) {
    struct field_row {
        const char* name;
        size_t offset;
        std::vector<uint8_t> value;
        bool found;
    };
    const std::vector<field_row> rows{
        {"whole block", 0, {}, true},
        {"three sectors per cluster", 13, {3}, false},
        {"no reserved sectors", 14, {0, 0}, false},
        {"three FATs", 16, {3}, false},
        {"root entries as on FAT16", 17, {0, 2}, false},
        {"16-bit FAT size", 22, {9, 0}, false},
        {"no FAT size", 36, {0, 0, 0, 0}, false},
        {"FAT larger than the volume", 36, {0, 0, 1, 0}, false},
        {"media byte", 21, {0x12}, false},
        {"file system type", 82, {'F', 'A', 'T', '1', '6'}, false},
    };
    for (const auto& row : rows) {
        std::vector<uint8_t> drive(3000 * sector);
        const uint64_t at = 900;
        put_fat32_boot(drive, at, 1000, "mkfs.fat");
        uint8_t* p = drive.data() + at * sector;
        p[13] = 8;     // sectors per cluster
        p[14] = 32;    // reserved sectors
        p[16] = 2;     // FATs
        p[21] = 0xF8;  // media
        p[36] = 4;     // sectors per FAT
        for (size_t i = 0; i < row.value.size(); ++i) p[row.offset + i] = row.value[i];
        found_list f = search_bytes(drive);
        if (!row.found) {
            EXPECT_TRUE(f.items.empty()) << row.name;
            continue;
        }
        ASSERT_EQ(f.items.size(), 1u) << row.name;
        EXPECT_EQ(f.items[0].fs_name.toStdString(), "FAT32");
        EXPECT_EQ(f.items[0].start_sector, at);
        EXPECT_EQ(f.items[0].end_sector, at + 999);
    }
}

TEST(PartitionSearch, WindowedReadsMatchChunkByChunkReads) {
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        std::mt19937 gen(seed);
        const uint64_t sectors = 20000 + gen() % 5000;
        std::vector<uint8_t> drive(sectors * sector + gen() % 512);
        for (int i = 0; i < 60; ++i) {
            uint64_t at = gen() % (sectors - 2);
            uint64_t len = gen() % 4 == 0 ? 0 : gen() % 3000;
            if (gen() % 2)
                put_ntfs_boot(drive, at, len);
            else
                put_fat32_boot(drive, at, uint32_t(len), gen() % 5 ? "MSDOS5.0" : "mkfs.fat");
        }
        std::vector<partition_item_s> expected = reference_search(drive);
        found_list f = search_bytes(drive);
        ASSERT_EQ(f.items.size(), expected.size()) << "seed " << seed;
        ASSERT_GT(expected.size(), 0u);
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(f.items[i].fs_name, expected[i].fs_name) << "seed " << seed << " item " << i;
            EXPECT_EQ(f.items[i].start_sector, expected[i].start_sector)
                << "seed " << seed << " item " << i;
            EXPECT_EQ(f.items[i].end_sector, expected[i].end_sector)
                << "seed " << seed << " item " << i;
        }
    }
}

namespace {

// Partitions where tools of both eras put them: the first track, a cylinder
// boundary and the track after one (an old logical partition), a start just
// past the previous partition's unaligned end, a MiB boundary, and a volume
// whose boot sector is gone but whose copy ends it right before a MiB boundary.
TEST(PartitionSearch, LikelyPlacesFindWhatEverySectorFinds) {
    constexpr uint64_t cylinder = 255 * 63;
    std::vector<uint8_t> drive((4 * cylinder + 8192) * sector);
    put_ntfs_boot(drive, 63, cylinder - 63);                   // 63 .. 16064
    put_fat32_boot(drive, cylinder + 63, 8000);                 // 16128 .. 24127
    put_ntfs_boot(drive, 24228, 5000);                          // 100 sectors past the end before it
    put_fat32_boot(drive, 2 * cylinder, 3000);                  // 32130 .. 35129
    put_ntfs_boot(drive, 20 * 2048, 1000);                      // 40960
    // NTFS at 45056 (a MiB boundary) whose first sector is gone; its copy sits
    // in the sector after its counted ones, the last before 47104.
    put_ntfs_boot(drive, 45056, 2047);
    drive[45056 * sector + 0x0D] = 8;                   // sectors per cluster
    drive[45056 * sector + 0x30] = 4;                   // the MFT's first cluster
    std::copy_n("FILE", 4, drive.begin() + (45056 + 32) * sector);
    std::copy_n(drive.begin() + 45056 * sector, sector, drive.begin() + (45056 + 2047) * sector);
    std::fill_n(drive.begin() + 45056 * sector, sector, 0);
    qv::memory_device dev(drive);
    found_list every, likely;
    search(dev, &every, {}, search_reach::every_sector);
    search(dev, &likely, {}, search_reach::likely_places);
    EXPECT_EQ(likely.result, search_done);
    EXPECT_EQ(likely.progress, 1.0);
    std::vector<uint64_t> starts;
    for (const auto& f : likely.items) starts.push_back(f.start_sector);
    EXPECT_EQ(starts, (std::vector<uint64_t>{63, cylinder + 63, 24228, 2 * cylinder, 40960, 45056}));
    ASSERT_EQ(likely.items.size(), every.items.size());
    for (size_t i = 0; i < every.items.size(); ++i) {
        EXPECT_EQ(likely.items[i].fs_name, every.items[i].fs_name) << i;
        EXPECT_EQ(likely.items[i].start_sector, every.items[i].start_sector) << i;
        EXPECT_EQ(likely.items[i].end_sector, every.items[i].end_sector) << i;
    }
}

// Hostile lengths and drives that end inside a place's sectors: the walk still
// moves forward and ends.
TEST(PartitionSearch, LikelyPlacesOnCutAndHostileDrivesEnd) {
    for (uint64_t sectors : {uint64_t(2049), uint64_t(2050), uint64_t(4096 + 7), uint64_t(4096 + 129), uint64_t(16065 + 64)}) {
        std::vector<uint8_t> drive(sectors * sector);
        put_ntfs_boot(drive, 2048, u64_max);  // a length that wraps
        if (sectors > 4096) put_fat32_boot(drive, 4096, 0);
        qv::memory_device dev(drive);
        found_list out;
        search(dev, &out, {}, search_reach::likely_places);
        EXPECT_EQ(out.result, search_done) << sectors;
        EXPECT_EQ(out.progress, 1.0) << sectors;
    }
}

}  // namespace
