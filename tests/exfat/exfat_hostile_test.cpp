// The exFAT reader over hostile images: damaged sets, clusters past the end, looping
// chains, huge folders and random bytes give errors or partial results, never a crash or hang.

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "exfat/file_copy.hpp"
#include "tests/exfat/exfat_scan.hpp"
#include "tests/exfat/exfat_test_image.hpp"

using namespace qv;
using namespace qv::test;

namespace {

// One small image with a live folder holding deleted files, made once.
class ExfatHostile : public testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new temp_dir;
        image_ = *dir_ / "hostile.img";
        std::string why;
        if (!make_exfat_image(image_, 16, 4096, &why)) {
            skip_ = why;
            return;
        }
        exfat_mount m;
        if (!m.mount(image_, *dir_ / "mnt", &why)) {
            skip_ = why;
            return;
        }
        std::filesystem::create_directories(m / "folder");
        for (int i = 0; i < 6; ++i)
            write_file(m / ("folder/f" + std::to_string(i) + ".bin"), pseudo_random_bytes(6000, uint32_t(i)));
        for (int i = 0; i < 3; ++i) std::remove((m / ("folder/f" + std::to_string(i) + ".bin")).c_str());
        if (!m.unmount()) skip_ = "fusermount -u failed";
        bytes_ = read_file(image_);
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override {
        if (!skip_.empty()) GTEST_SKIP() << skip_;
    }
    static std::vector<uint8_t> copy() { return bytes_; }
    static uint64_t set_of(const std::vector<uint8_t>& b, const std::string& name) {
        auto sets = find_entry_sets(b, name);
        EXPECT_EQ(sets.size(), 1u) << name;
        return sets.empty() ? 0 : sets[0];
    }

    static inline temp_dir* dir_ = nullptr;
    static inline std::string image_;
    static inline std::string skip_;
    static inline std::vector<uint8_t> bytes_;
};

TEST_F(ExfatHostile, UntouchedImageListsTheThreeDeletedFiles) {
    exfat_scan s = scan_exfat_bytes(copy());
    ASSERT_EQ(s.open_result, 0);
    auto items = s.by_path();
    for (int i = 0; i < 3; ++i) {
        std::string path = "/folder/f" + std::to_string(i) + ".bin";
        ASSERT_TRUE(items.count(path)) << path;
        EXPECT_FALSE(items[path]->set.doubtful());
        EXPECT_EQ(s.copy(*items[path], *dir_ / "out"), pseudo_random_bytes(6000, uint32_t(i)));
    }
    EXPECT_FALSE(items.count("/folder/f3.bin"));
}

TEST_F(ExfatHostile, BadSetChecksumIsListedAsDoubtful) {
    auto b = copy();
    uint64_t at = set_of(b, "f1.bin");
    b.at(at + 2) ^= 0x55;  // the stored checksum
    exfat_scan s = scan_exfat_bytes(b);
    ASSERT_EQ(s.open_result, 0);
    auto items = s.by_path();
    ASSERT_TRUE(items.count("/folder/f1.bin"));
    EXPECT_TRUE(items["/folder/f1.bin"]->set.doubtful());
    EXPECT_EQ(s.copy(*items["/folder/f1.bin"], *dir_ / "out"), pseudo_random_bytes(6000, 1));
}

TEST_F(ExfatHostile, ClusterPastTheEndWithAGoodChecksumFailsItsCopyOnly) {
    auto b = copy();
    uint64_t at = set_of(b, "f0.bin");
    put_le32(b.data() + at + 32 + 20, 0xFFFFFF00u);
    fix_set_checksum(b, at);
    std::filesystem::remove(*dir_ / "out");
    exfat_scan s = scan_exfat_bytes(b);
    ASSERT_EQ(s.open_result, 0);
    auto items = s.by_path();
    ASSERT_TRUE(items.count("/folder/f0.bin"));
    EXPECT_EQ(items["/folder/f0.bin"]->state, exfat::data_state::overwritten);
    int rc = 0;
    EXPECT_TRUE(s.copy(*items["/folder/f0.bin"], *dir_ / "out", &rc).empty());
    EXPECT_EQ(rc, exfat::copy_no_data);
    EXPECT_FALSE(std::filesystem::exists(*dir_ / "out"));
}

TEST_F(ExfatHostile, LoopingRootChainEnds) {
    auto b = copy();
    exfat_fields f = read_exfat_fields(b);
    byte_view v(b.data(), b.size());
    const uint32_t root = v.le32(96);
    const uint64_t fat = uint64_t(v.le32(80)) << v.u8(108);
    put_le32(b.data() + fat + 4 * root, root);  // the root's chain points at itself
    exfat_scan s = scan_exfat_bytes(b);
    ASSERT_EQ(s.open_result, 0);
    EXPECT_TRUE(s.by_path().count("/folder/f2.bin"));
    (void)f;
}

TEST_F(ExfatHostile, FolderChainLoopingBackToTheRoot) {
    auto b = copy();
    uint64_t at = set_of(b, "folder");
    byte_view v(b.data(), b.size());
    const uint32_t root = v.le32(96);
    // The folder starts at the root's cluster, chained: the walk must not go round.
    put_le32(b.data() + at + 32 + 20, root);
    b.at(at + 32 + 1) = 0x01;
    put_le64(b.data() + at + 32 + 8, 1u << 20);
    put_le64(b.data() + at + 32 + 24, 1u << 20);
    fix_set_checksum(b, at);
    exfat_scan s = scan_exfat_bytes(b);
    ASSERT_EQ(s.open_result, 0);
    EXPECT_TRUE(s.by_path().count("/folder"));
}

TEST_F(ExfatHostile, FolderThatClaimsFourGibibytes) {
    auto b = copy();
    uint64_t at = set_of(b, "folder");
    put_le64(b.data() + at + 32 + 8, uint64_t(4) << 30);
    put_le64(b.data() + at + 32 + 24, uint64_t(4) << 30);
    b.at(at + 32 + 1) = 0x03;  // contiguous
    fix_set_checksum(b, at);
    exfat_scan s = scan_exfat_bytes(b);
    ASSERT_EQ(s.open_result, 0);
    // Its stream is not sane (larger than the heap) but its checksum is: it is
    // listed and read up to the end of the heap.
    auto items = s.by_path();
    EXPECT_TRUE(items.count("/folder"));
    EXPECT_LE(s.result.folders, 3u);
}

TEST_F(ExfatHostile, RandomBytesOverTheRoot) {
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        auto b = copy();
        exfat_fields f = read_exfat_fields(b);
        byte_view v(b.data(), b.size());
        const uint64_t root_at = f.heap_offset + uint64_t(v.le32(96) - 2) * f.cluster_size;
        auto noise = pseudo_random_bytes(f.cluster_size, seed);
        // Keep some entry types so sets start and break in many ways.
        for (size_t i = 0; i < noise.size(); i += 32)
            if (noise[i] & 1) noise[i] = uint8_t(0x85 ^ (noise[i + 1] & 0x80));
        std::copy(noise.begin(), noise.end(), b.begin() + int64_t(root_at));
        exfat_scan s = scan_exfat_bytes(b);
        if (s.open_result != 0) continue;
        for (const auto& [id, item] : s.items) {
            EXPECT_NE(id, 0u);
            if (!item.set.directory()) {
                s.copy(item, *dir_ / "out");
                std::remove((*dir_ / "out").c_str());
            }
        }
    }
}

TEST_F(ExfatHostile, RandomBytesEverywhereAfterTheBootRegion) {
    std::mt19937 gen(4);
    for (int round = 0; round < 20; ++round) {
        auto b = copy();
        // Flip a thousand random bytes past the boot regions.
        for (int k = 0; k < 1000; ++k) b.at(24 * 512 + gen() % (b.size() - 24 * 512)) = uint8_t(gen());
        exfat_scan s = scan_exfat_bytes(b);
        if (s.open_result == 0) {
            EXPECT_FALSE(s.result.stopped);
        }
    }
}

TEST_F(ExfatHostile, TruncatedImagesOpenOrFailCleanly) {
    for (size_t keep : {size_t(0), size_t(100), size_t(12 * 512), size_t(24 * 512), size_t(1) << 20,
                        size_t(2) << 20, bytes_.size() / 2}) {
        auto b = copy();
        b.resize(keep);
        exfat_scan s = scan_exfat_bytes(b);
        if (keep < 24 * 512) {
            EXPECT_NE(s.open_result, 0) << keep;
        }
    }
}

TEST_F(ExfatHostile, CleanedBitmapBitsOfALiveFileMakeItsDeletedTwinIntact) {
    // A set whose in-use bits were cleared while its clusters stay allocated:
    // its data is listed as overwritten (the bitmap says the clusters are taken).
    auto b = copy();
    uint64_t at = set_of(b, "f4.bin");
    clear_in_use(b, at);
    exfat_scan s = scan_exfat_bytes(b);
    ASSERT_EQ(s.open_result, 0);
    auto items = s.by_path();
    ASSERT_TRUE(items.count("/folder/f4.bin"));
    EXPECT_EQ(items["/folder/f4.bin"]->state, exfat::data_state::overwritten);
    // Once its clusters are free in the bitmap too, it is intact.
    const uint32_t first = set_first_cluster(b, at);
    for (uint32_t c = first; c < first + 2; ++c) set_allocated(b, c, false);
    exfat_scan t = scan_exfat_bytes(b);
    auto again = t.by_path();
    ASSERT_TRUE(again.count("/folder/f4.bin"));
    EXPECT_EQ(again["/folder/f4.bin"]->state, exfat::data_state::intact);
    EXPECT_EQ(t.copy(*again["/folder/f4.bin"], *dir_ / "out"), pseudo_random_bytes(6000, 4));
    EXPECT_EQ(t.volume->free_clusters(), s.volume->free_clusters() + 2);
}

}  // namespace
