// The free-space mask: merged ranges, the device that reads zeros over them
// without reading, each file system's in-use ranges against its own free count,
// and a deep scan that never reads allocated space.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>

#include "devices/byte_ranges.hpp"
#include "devices/masked_device.hpp"
#include "engine/deep_checkpoint.hpp"
#include "engine/deep_scanner.hpp"
#include "engine/fat_allocation.hpp"
#include "engine/free_space_mask.hpp"
#include "engine/scanner.hpp"
#include "engine/volume_free_space.hpp"
#include "sigscan/config.hpp"
#include "sigscan/scanner.hpp"
#include "ext4/ext4_volume.hpp"
#include "tests/support/test_support.hpp"

namespace {

using qv::byte_range;
using qv::test::run;
using qv::test::shell_quote;

// Reads through another device and remembers every range asked of it.
class counting_device final : public qv::device_handle {
public:
    explicit counting_device(qv::device_handle& inner) : inner_(inner) {}
    int64_t read_at(uint64_t offset, void* buffer, size_t len) override {
        std::lock_guard lock(mutex_);
        reads_.push_back({offset, len});
        return inner_.read_at(offset, buffer, len);
    }
    int64_t write_at(uint64_t, const void*, size_t) override { return -1; }
    uint64_t length() const override { return inner_.length(); }
    uint64_t unread_zeros_end(uint64_t offset) const override { return inner_.unread_zeros_end(offset); }
    std::vector<byte_range> reads() const {
        std::lock_guard lock(mutex_);
        return reads_;
    }
    void forget() {
        std::lock_guard lock(mutex_);
        reads_.clear();
    }

private:
    qv::device_handle& inner_;
    mutable std::mutex mutex_;
    std::vector<byte_range> reads_;
};

bool overlaps(const byte_range& a, const std::vector<byte_range>& merged) {
    for (const byte_range& m : merged)
        if (a.offset < m.end() && m.offset < a.end()) return true;
    return false;
}

TEST(ByteRanges, MergeSortsJoinsAndDropsEmpty) {
    using v = std::vector<byte_range>;
    EXPECT_EQ(qv::merged_ranges({}), v{});
    EXPECT_EQ(qv::merged_ranges({{50, 10}, {0, 10}, {5, 10}, {15, 5}, {30, 0}}), (v{{0, 20}, {50, 10}}));
    EXPECT_EQ(qv::merged_ranges({{0, 100}, {10, 5}}), (v{{0, 100}}));  // one inside another
    EXPECT_EQ(qv::merged_ranges({{UINT64_MAX - 4, 100}}), (v{{UINT64_MAX - 4, 4}}));
    EXPECT_EQ(qv::covered_bytes({{0, 20}, {50, 10}}), 30u);
}

TEST(MaskedDevice, ZerosOverMaskedRangesWithoutReadingThem) {
    std::vector<uint8_t> bytes(10000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i % 251 + 1);
    qv::memory_device memory(bytes);
    counting_device counted(memory);
    qv::masked_device masked(counted, {{2000, 1000}, {100, 50}, {9990, 100}});
    EXPECT_EQ(masked.length(), bytes.size());

    std::vector<uint8_t> out(bytes.size(), 0xEE);
    ASSERT_EQ(masked.read_at(0, out.data(), out.size()), int64_t(bytes.size()));
    for (size_t i = 0; i < out.size(); ++i) {
        const bool hidden = (i >= 100 && i < 150) || (i >= 2000 && i < 3000) || i >= 9990;
        ASSERT_EQ(out[i], hidden ? 0 : bytes[i]) << "byte " << i;
    }
    for (const byte_range& r : counted.reads()) EXPECT_FALSE(overlaps(r, masked.masked())) << r.offset << "+" << r.length;

    // A read inside one masked range reads nothing; one across its edges reads only outside it.
    counted.forget();
    ASSERT_EQ(masked.read_at(2100, out.data(), 500), 500);
    EXPECT_TRUE(counted.reads().empty());
    ASSERT_EQ(masked.read_at(1990, out.data(), 1020), 1020);
    EXPECT_EQ(out[9], bytes[1999]);
    EXPECT_EQ(out[10], 0);
    EXPECT_EQ(out[1019], bytes[3009]);
    EXPECT_EQ(counted.reads(), (std::vector<byte_range>{{1990, 10}, {3000, 10}}));

    // Where each run of unread zeros ends: nowhere outside one, the device's end for the last.
    EXPECT_EQ(masked.unread_zeros_end(99), 99u);
    EXPECT_EQ(masked.unread_zeros_end(100), 150u);
    EXPECT_EQ(masked.unread_zeros_end(2999), 3000u);
    EXPECT_EQ(masked.unread_zeros_end(3000), 3000u);
    EXPECT_EQ(masked.unread_zeros_end(9995), 10000u) << "a mask past the end stops at it";
    EXPECT_EQ(memory.unread_zeros_end(2500), 2500u) << "a plain device has none";

    // The end of the device: short reads, then nothing.
    EXPECT_EQ(masked.read_at(9980, out.data(), 100), 20);
    EXPECT_EQ(masked.read_at(10000, out.data(), 10), 0);
}

// Fails every read: an error outside the mask comes through.
class broken_device final : public qv::device_handle {
public:
    int64_t read_at(uint64_t, void*, size_t) override { return -1; }
    int64_t write_at(uint64_t, const void*, size_t) override { return -1; }
    uint64_t length() const override { return 4096; }
};

TEST(MaskedDevice, ErrorsOutsideTheMaskAreKept) {
    broken_device broken;
    qv::masked_device masked(broken, {{0, 1024}});
    std::vector<uint8_t> out(4096);
    EXPECT_EQ(masked.read_at(0, out.data(), 1024), 1024) << "masked bytes need no read";
    EXPECT_EQ(masked.read_at(0, out.data(), 2048), -1);
}

// A FAT16 image with two live files and a deleted one, by mkfs.fat and mtools.
class fat_free_space : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"mkfs.fat", "mcopy", "mdel"})
            if (!qv::test::have_tool(tool)) GTEST_SKIP() << tool << " is not installed";
        ASSERT_EQ(run("mkfs.fat -C -F 16 " + shell_quote(image) + " 16384 >/dev/null"), 0);
        put("a.bin", 300000, 1);
        put("b.bin", 70000, 2);
        put("c.bin", 120000, 3);
        ASSERT_EQ(run("mdel -i " + shell_quote(image) + " ::/b.bin"), 0);
        std::string why;
        device = qv::file_device::open(image, 0, 0, true, qv::access_mode::read_only, &why);
        ASSERT_TRUE(device) << why;
    }
    void put(const std::string& name, size_t size, uint32_t seed) {
        const std::string local = dir / name;
        qv::test::write_file(local, qv::test::pseudo_random_bytes(size, seed));
        ASSERT_EQ(run("mcopy -i " + shell_quote(image) + " " + shell_quote(local) + " ::/" + name), 0);
    }
    qv::test::temp_dir dir;
    std::string image = dir / "fat.img";
    std::unique_ptr<qv::file_device> device;
};

TEST_F(fat_free_space, InUseAndFreeMakeTheWholeDataArea) {
    const qv::scanner_kind* fat = qv::scanner_named("fat");
    ASSERT_TRUE(fat && fat->in_use);
    auto in_use = fat->in_use(*device);
    ASSERT_TRUE(in_use);
    auto map = qv::read_fat_volume_map(*device);
    auto free = qv::fat_free_bytes(*device);
    ASSERT_TRUE(map && free);
    ASSERT_FALSE(in_use->empty());
    EXPECT_EQ(in_use->front().offset, 0u);
    EXPECT_GE(in_use->front().length, map->data_start) << "boot sector, tables and root folder";
    const uint64_t clusters_end = map->cluster_offset(map->table.entry_count());
    EXPECT_EQ(qv::covered_bytes(*in_use) + *free, clusters_end);
    EXPECT_EQ(*in_use, qv::merged_ranges(*in_use)) << "sorted and apart";
    // The two live files: 300000 + 120000 bytes in 2 KiB clusters.
    EXPECT_EQ(qv::covered_bytes(*in_use) - map->data_start, (147u + 59u) * 2048);
}

TEST_F(fat_free_space, MaskHoldsTheDeletedFileAndTheScanNeverReadsIt) {
    qv::scan_hooks hooks;
    qv::free_space_mask mask = qv::read_free_space_mask(*device, "", hooks);
    ASSERT_TRUE(mask.known) << mask.unknown_why;
    EXPECT_EQ(mask.scanner, "fat");
    EXPECT_EQ(mask.found_bytes, 35u * 2048) << "the deleted file's clusters";
    EXPECT_EQ(qv::covered_bytes(mask.masked), mask.masked_bytes());

    counting_device counted(*device);
    qv::masked_device masked(counted, mask.masked);
    qv::deep_scanner deep;
    qv::scan_report report = deep.scan(masked, hooks);
    EXPECT_EQ(report.problems.end, qv::read_end::complete);
    const auto reads = counted.reads();
    ASSERT_FALSE(reads.empty());
    uint64_t read_bytes = 0;
    for (const byte_range& r : reads) {
        EXPECT_FALSE(overlaps(r, mask.masked)) << "read at " << r.offset << "+" << r.length;
        read_bytes += r.length;
    }
    EXPECT_GE(read_bytes, device->length() - mask.masked_bytes()) << "all free space is read";
}

// The carver passes blocks the mask covers without asking for them, and finds
// what a scan of the same bytes with zeros in the masked space finds.
TEST(MaskedDevice, TheCarverPassesMaskedBlocksUnreadAndFindsTheSame) {
    constexpr uint64_t mib = uint64_t(1) << 20;
    std::vector<uint8_t> image(12 * mib, 0);
    auto put_pdf = [&](uint64_t at, const std::string& body) {
        const std::string text = "%PDF-1.4\n" + body + "\ntrailer\n<<>>\n%%EOF\n";
        std::memcpy(image.data() + at, text.data(), text.size());
    };
    put_pdf(512 * 1024, "before the masked space");
    put_pdf(3 * mib, "in the masked space: never looked at");
    put_pdf(9 * mib + 512, "right after the masked space");
    put_pdf(11 * mib - 2048, "near the end");
    const std::vector<byte_range> masked{{1 * mib + 4096, 8 * mib - 4096 + 512}, {10 * mib, 4096}};

    std::vector<uint8_t> zeroed = image;
    for (const byte_range& r : masked) std::memset(zeroed.data() + r.offset, 0, size_t(r.length));
    auto carve = [](qv::device_handle& device, bool every_byte) {
        qv::sig::scan_options options;
        options.every_byte = every_byte;
        std::vector<std::pair<uint64_t, uint64_t>> found;
        qv::sig::scan_device(device, qv::sig::default_config(), options, nullptr,
                             [&](const char*, uint64_t offset, uint64_t size) { found.push_back({offset, size}); });
        return found;
    };
    for (bool every_byte : {false, true}) {
        SCOPED_TRACE(every_byte ? "every byte" : "sector starts");
        qv::memory_device plain(zeroed);
        const auto expected = carve(plain, every_byte);
        ASSERT_EQ(expected.size(), 3u) << "the files outside the masked space";

        qv::memory_device inner(image);
        qv::masked_device masked_view(inner, masked);
        counting_device counted(masked_view);
        EXPECT_EQ(carve(counted, every_byte), expected);
        uint64_t asked = 0;
        for (const byte_range& r : counted.reads()) asked += r.length;
        // The whole blocks inside the 8 MiB masked run are passed by unread.
        EXPECT_LT(asked, image.size() - 6 * mib) << "asked for " << asked << " bytes";
    }
}

TEST_F(fat_free_space, DamagedTableGivesNothingOrASaneMask) {
    std::vector<uint8_t> bytes = qv::test::read_file(image);
    // Sectors per FAT far past the image: the table cannot be read whole.
    bytes[0x16] = 0xFF;
    bytes[0x17] = 0xFF;
    qv::memory_device broken(bytes);
    EXPECT_FALSE(qv::scanner_named("fat")->in_use(broken));
    qv::free_space_mask mask = qv::read_free_space_mask(broken, "FAT16", qv::scan_hooks{});
    EXPECT_FALSE(mask.known);
    EXPECT_NE(mask.unknown_why.find("fat"), std::string::npos) << mask.unknown_why;
}

// A 256 MiB ext4 volume made by mkfs: several groups, flex_bg, groups whose block
// bitmap was never initialised. The mask is exactly what the superblock counts used.
TEST(Ext4FreeSpace, InUseMatchesTheSuperblockCount) {
    QV_REQUIRE_TOOL("mkfs.ext4");
    qv::test::temp_dir dir;
    const std::string image = dir / "ext.img";
    ASSERT_EQ(run("truncate -s 256M " + shell_quote(image)), 0);
    ASSERT_EQ(run("mkfs.ext4 -q -F -b 1024 -E lazy_itable_init=1 " + shell_quote(image)), 0);
    std::string why;
    auto device = qv::file_device::open(image, 0, 0, true, qv::access_mode::read_only, &why);
    ASSERT_TRUE(device) << why;
    std::unique_ptr<qv::ext4::volume> vol;
    ASSERT_EQ(qv::ext4::volume::open(*device, &vol), 0);
    bool uninit = false;
    for (const auto& g : vol->groups()) uninit = uninit || (g.flags & qv::ext4::layout::bg_block_uninit);
    EXPECT_TRUE(uninit) << "mkfs left some groups uninitialised";
    const auto& sb = vol->super();

    auto in_use = qv::scanner_named("ext4")->in_use(*device);
    ASSERT_TRUE(in_use);
    // Block 0 of a 1 KiB-block volume lies before the first data block: in use as well.
    EXPECT_EQ(qv::covered_bytes(*in_use), (sb.blocks_count - sb.free_blocks) * sb.block_size)
        << "the metadata of uninitialised groups counts as in use";
    for (const auto& g : vol->groups()) {
        EXPECT_TRUE(overlaps({g.inode_table * sb.block_size, 1}, *in_use));
        EXPECT_TRUE(overlaps({g.block_bitmap * sb.block_size, 1}, *in_use));
    }
}

TEST(DeepCheckpoint, KeepsFreeSpaceScansApartFromWholeVolumeOnes) {
    qv::test::temp_dir dir;
    const std::string file = dir / "scan.checkpoint";
    qv::deep_checkpoint c;
    c.device_path = "/dev/sdz1";
    c.device_length = 1 << 20;
    c.position = 4096;
    c.search_from = 4096;
    c.free_space = true;
    ASSERT_EQ(qv::write_deep_checkpoint(file, c), 0);
    auto back = qv::read_deep_checkpoint(file);
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->free_space);
    EXPECT_TRUE(back->belongs_to("/dev/sdz1", 1 << 20, false, true));
    EXPECT_FALSE(back->belongs_to("/dev/sdz1", 1 << 20, false, false)) << "not resumed as a whole-volume scan";

    // A file from before the mode was kept has no such flag: a whole-volume scan.
    auto bytes = qv::test::read_file(file);
    constexpr size_t flags_at = 12;
    bytes[flags_at] = 0;
    qv::test::write_file(file, bytes);
    back = qv::read_deep_checkpoint(file);
    ASSERT_TRUE(back);
    EXPECT_FALSE(back->free_space);
    EXPECT_TRUE(back->belongs_to("/dev/sdz1", 1 << 20, false));
    EXPECT_FALSE(back->belongs_to("/dev/sdz1", 1 << 20, false, true)) << "not resumed as a free-space scan";
}

}  // namespace
