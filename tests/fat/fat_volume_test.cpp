// The volume class over the reader: folders listed with their deleted entries,
// files read along chains or contiguously, unreadable sectors counted, and
// hostile images that give errors rather than crashes.
#include <gtest/gtest.h>

#include <cstring>

#include "devices/device_handle.hpp"
#include "devices/le_bytes.hpp"
#include "fat/fat_volume.hpp"
#include "tests/fat/fat_builder.hpp"
#include "tests/support/test_devices.hpp"
#include "tests/support/test_support.hpp"

namespace {

using qv::fat::entry;
using qv::fat::volume;
using qv::test::fat_builder;

std::vector<uint8_t> filled(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(seed + i * 7);
    return v;
}

const entry* find(const std::vector<entry>& entries, const std::u16string& name) {
    for (const entry& e : entries)
        if (e.name() == name) return &e;
    return nullptr;
}

std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct layout {
    int bits;
    uint32_t clusters;
    uint8_t type;
};

// A root with a live file fragmented over clusters 10 and 12, a deleted file
// over 20-21, a live folder at 30 holding one file, and a volume label.
class volume_on_built_images : public ::testing::TestWithParam<layout> {
protected:
    volume_on_built_images() : b(GetParam().bits, GetParam().clusters) {
        const uint32_t eoc = b.end_of_chain();
        b.add_entry(0, "LABEL      ", 0x08, 0, 0, false);
        b.add_entry(0, "LIVE    BIN", 0x20, 10, 700, false);
        b.set_fat(10, 12);
        b.set_fat(12, eoc);
        b.write_cluster(10, c10);
        b.write_cluster(11, c11);
        b.write_cluster(12, c12);
        b.add_entry(0, "GONE    BIN", 0x20, 20, 900, true);
        b.write_cluster(20, c20);
        b.write_cluster(21, c21);
        b.add_entry(0, "SUB        ", 0x10, 30, 0, false);
        b.set_fat(30, eoc);
        b.add_entry(30, ".          ", 0x10, 30, 0, false);
        b.add_entry(30, "..         ", 0x10, 0, 0, false);
        b.add_entry(30, "INNER   TXT", 0x20, 40, 5, false);
        b.set_fat(40, eoc);
        b.write_cluster(40, {'h', 'e', 'l', 'l', 'o'});
    }
    std::unique_ptr<volume> open(qv::device_handle& device) {
        std::unique_ptr<volume> v;
        EXPECT_EQ(volume::open(device, &v), FAT_OK);
        return v;
    }
    fat_builder b;
    std::vector<uint8_t> c10 = filled(512, 1), c11 = filled(512, 2), c12 = filled(512, 3);
    std::vector<uint8_t> c20 = filled(512, 4), c21 = filled(512, 5);
};

TEST_P(volume_on_built_images, lists_live_and_deleted_entries_and_reads_their_bytes) {
    qv::memory_device device(b.bytes());
    auto v = open(device);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->layout().fat_type, GetParam().type);
    EXPECT_EQ(v->cluster_bytes(), 512u);
    EXPECT_EQ(v->cluster_offset(2), uint64_t(b.data_start()) * 512);

    auto root = v->list(u"/");
    ASSERT_EQ(root.result, FAT_OK);
    EXPECT_TRUE(root.skipped_sectors.empty());
    ASSERT_EQ(root.entries.size(), 3u) << "the label is no entry";
    const entry* live = find(root.entries, u"LIVE.BIN");
    const entry* sub = find(root.entries, u"SUB");
    ASSERT_TRUE(live && sub);
    EXPECT_FALSE(live->deleted());
    EXPECT_TRUE(sub->directory());
    const entry& gone = root.entries[1];
    EXPECT_TRUE(gone.deleted());
    EXPECT_EQ(gone.short_name.substr(1), u"ONE.BIN");
    EXPECT_EQ(gone.first_cluster, 20u);

    // The live file follows its chain past cluster 11; read contiguously it would not.
    auto bytes = v->read_file(*live);
    EXPECT_EQ(bytes.result, FAT_OK);
    EXPECT_EQ(bytes.unreadable, 0u);
    EXPECT_EQ(bytes.bytes, concat(c10, std::vector<uint8_t>(c12.begin(), c12.begin() + 188)));
    auto straight = v->read_file(live->first_cluster, live->size, true);
    EXPECT_EQ(straight.bytes, concat(c10, std::vector<uint8_t>(c11.begin(), c11.begin() + 188)));
    // The deleted one has no chain: it is read from consecutive clusters.
    auto deleted = v->read_file(gone);
    EXPECT_EQ(deleted.result, FAT_OK);
    EXPECT_EQ(deleted.bytes, concat(c20, std::vector<uint8_t>(c21.begin(), c21.begin() + 388)));

    // The folder by path and by its first cluster gives the same entries.
    auto by_path = v->list(u"/sub");
    ASSERT_EQ(by_path.result, FAT_OK);
    qv::fat::folder f;
    ASSERT_EQ(v->open_folder_at(30, {}, &f), FAT_OK);
    EXPECT_EQ(f.start_cluster(), 30u);
    std::vector<std::u16string> names;
    for (;;) {
        entry e;
        ASSERT_EQ(f.next(&e), FAT_OK);
        if (e.short_name.empty()) break;
        names.push_back(e.name());
    }
    ASSERT_EQ(by_path.entries.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(by_path.entries[i].name(), names[i]);
    const entry* inner = find(by_path.entries, u"INNER.TXT");
    ASSERT_TRUE(inner);
    auto text = v->read_file(*inner);
    EXPECT_EQ(std::string(text.bytes.begin(), text.bytes.end()), "hello");

    EXPECT_EQ(v->list(u"/NOPE").result, FAT_NO_PATH);
    EXPECT_EQ(v->list(u"/LIVE.BIN").result, FAT_NO_PATH) << "a file is no folder";
    EXPECT_EQ(v->list(u"/S?B").result, FAT_INVALID_NAME);
}

TEST_P(volume_on_built_images, unreadable_sectors_come_back_as_counted_zeros) {
    // Cluster 12, the live file's second, cannot be read.
    const uint64_t bad = (uint64_t(b.data_start()) + 10) * 512;
    qv::failing_device device(b.bytes(), {{bad, bad + 512}});
    auto v = open(device);
    ASSERT_TRUE(v);
    auto root = v->list(u"/");
    const entry* live = find(root.entries, u"LIVE.BIN");
    ASSERT_TRUE(live);
    auto bytes = v->read_file(*live);
    EXPECT_EQ(bytes.result, FAT_OK);
    EXPECT_EQ(bytes.unreadable, 188u) << "only the file's own bytes of the sector count";
    ASSERT_EQ(bytes.bytes.size(), 700u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.bytes.begin(), bytes.bytes.begin() + 512), c10);
    EXPECT_EQ(std::vector<uint8_t>(bytes.bytes.begin() + 512, bytes.bytes.end()), std::vector<uint8_t>(188, 0));
    EXPECT_FALSE(v->gone());
}

TEST_P(volume_on_built_images, a_device_that_goes_away_ends_reads_as_not_ready) {
    // Bytes enough for the boot sector and the root's first sector, and a few more.
    const uint64_t budget = 4096;
    qv::vanishing_device device(b.bytes(), budget);
    auto v = open(device);
    ASSERT_TRUE(v);
    auto root = v->list(u"/");
    const entry* live = find(root.entries, u"LIVE.BIN");
    ASSERT_TRUE(live);
    fat_result r = FAT_OK;
    for (int i = 0; i < 8 && r == FAT_OK; ++i) r = v->read_file(*live).result;
    EXPECT_EQ(r, FAT_NOT_READY);
    EXPECT_TRUE(v->gone());
    std::unique_ptr<volume> again;
    EXPECT_EQ(volume::open(device, &again), FAT_NOT_READY);
    EXPECT_FALSE(again);
}

INSTANTIATE_TEST_SUITE_P(types, volume_on_built_images,
                         ::testing::Values(layout{12, 4000, qv::fat_12}, layout{16, 5000, qv::fat_16},
                                           layout{32, 70000, qv::fat_32}),
                         [](const auto& info) { return "fat" + std::to_string(info.param.bits); });

TEST(volume_on_hostile_images, a_zero_or_missing_boot_sector_is_no_volume) {
    struct device_case {
        size_t bytes;
        fat_result why;
    };
    // No bytes is no medium; part of a sector cannot be read; zeros are no file system.
    for (auto c : {device_case{0, FAT_NOT_READY}, device_case{100, FAT_DISK_ERROR},
                   device_case{512, FAT_NO_FILESYSTEM}, device_case{64 * 1024, FAT_NO_FILESYSTEM}}) {
        SCOPED_TRACE(c.bytes);
        qv::memory_device device(std::vector<uint8_t>(c.bytes, 0));
        std::unique_ptr<volume> v;
        EXPECT_EQ(volume::open(device, &v), c.why);
        EXPECT_FALSE(v);
    }
    // A sound boot sector with its signature wiped.
    fat_builder b(16, 5000);
    qv::put_le16(b.boot() + 510, 0);
    qv::memory_device device(b.bytes());
    std::unique_ptr<volume> v;
    EXPECT_EQ(volume::open(device, &v), FAT_NO_FILESYSTEM);
}

TEST(volume_on_hostile_images, a_truncated_image_gives_errors_and_bounded_reads) {
    for (int bits : {12, 16, 32}) {
        SCOPED_TRACE(bits);
        fat_builder b(bits, bits == 12 ? 4000 : bits == 16 ? 5000 : 70000);
        b.add_entry(0, "FAR     BIN", 0x20, 3000, 4000000, true);
        b.add_entry(0, "HUGE    BIN", 0x20, 50, 0xFFFFFFFF, true);
        // Cut the image inside the data area: the root survives, most clusters do not.
        std::vector<uint8_t> cut(b.bytes().begin(), b.bytes().begin() + (uint64_t(b.data_start()) + 100) * 512);
        qv::memory_device device(cut);
        std::unique_ptr<volume> v;
        ASSERT_EQ(volume::open(device, &v), FAT_OK) << "the boot sector itself is whole";
        auto root = v->list(u"/");
        EXPECT_EQ(root.result, FAT_OK);
        ASSERT_EQ(root.entries.size(), 2u);
        for (const entry& e : root.entries) {
            auto bytes = v->read_file(e);
            EXPECT_NE(bytes.result, FAT_OK) << "the file runs past the end";
            EXPECT_LE(bytes.bytes.size(), cut.size()) << "nothing is made up past the image";
        }
        EXPECT_NE(v->list(u"/FAR.BIN").result, FAT_OK);
        qv::fat::folder f;
        EXPECT_NE(v->open_folder_at(1, {}, &f), FAT_OK) << "cluster 1 is no folder";
        EXPECT_NE(v->open_folder_at(v->layout().entry_count, {}, &f), FAT_OK) << "past the last cluster";
        entry e;
        EXPECT_EQ(f.next(&e), FAT_INVALID_OBJECT) << "a folder that failed to open reads nothing";
    }
}

TEST(volume_on_hostile_images, random_tables_and_folders_end_without_a_crash) {
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        fat_builder b(16, 5000);
        auto noise = qv::test::pseudo_random_bytes(size_t(b.data_start() - 1) * 512 + 8 * 512, seed);
        // Everything after the boot sector: tables, root and the first clusters.
        std::memcpy(b.bytes().data() + 512, noise.data(), noise.size());
        qv::memory_device device(b.bytes());
        std::unique_ptr<volume> v;
        ASSERT_EQ(volume::open(device, &v), FAT_OK);
        auto root = v->list(u"/");
        size_t read = 0;
        for (const entry& e : root.entries) {
            if (read >= 64) break;
            auto bytes = v->read_file(e.first_cluster, std::min<uint32_t>(e.size, 1 << 20), e.deleted());
            EXPECT_LE(bytes.bytes.size(), size_t(1) << 20);
            ++read;
            if (e.directory()) {
                qv::fat::folder f;
                if (v->open_folder_at(e.first_cluster, {true, false}, &f) != FAT_OK) continue;
                entry inner;
                for (int i = 0; i < 70000 && f.next(&inner) == FAT_OK && !inner.short_name.empty(); ++i) {
                }
            }
        }
    }
}

}  // namespace
