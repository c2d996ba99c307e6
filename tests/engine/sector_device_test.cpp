// Sector access over the catalog's drives, and a FAT volume that starts beyond 2 TiB.
#include <gtest/gtest.h>

#include "devices/device_catalog.hpp"
#include "engine/safe_names.hpp"
#include "engine/sector_device.hpp"
#include "tests/engine/fat_scan.hpp"
#include "tests/support/disk_images.hpp"
#include "tests/support/test_support.hpp"

using qv::destination_on_volume;
using qv::locate_volume_sectors;
using qv::safe_file_name;
using qv::unique_destination;

namespace {

using qv::test::run;
using qv::test::shell_quote;

TEST(sector_device, transfers_are_bounded_and_unknown_drives_are_not_ready) {
    qv::test::temp_dir dir;
    std::string img = dir / "disk.img";
    auto bytes = qv::test::pseudo_random_bytes(1 << 20, 4);
    qv::test::write_file(img, bytes);
    qv::test::open_test_volume(img);

    std::vector<uint8_t> buf(129 * 512);
    EXPECT_EQ(read_sectors(0, buf.data(), 0, 129), IO_BAD_PARAMETER);
    ASSERT_EQ(read_sectors(0, buf.data(), 3, 128), IO_OK);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 128 * 512, bytes.begin() + 3 * 512));
    EXPECT_EQ(read_sectors(0, buf.data(), 2047, 2), IO_ERROR) << "a read past the end of the drive";
    EXPECT_EQ(read_sectors(1, buf.data(), 0, 1), IO_NOT_READY);
    EXPECT_EQ(read_sectors(200, buf.data(), 0, 1), IO_NOT_READY);
    EXPECT_EQ(write_sectors(0, buf.data(), 0, 1), IO_WRITE_PROTECTED) << "the FAT path never writes";
    EXPECT_EQ(qv::test::read_file(img), bytes);

    uint32_t block = 0;
    uint16_t size = 0;
    uint64_t count = 0;
    EXPECT_EQ(device_control(0, CONTROL_GET_BLOCK_SIZE, &block), IO_OK);
    EXPECT_EQ(block, 128u);
    EXPECT_EQ(device_control(0, CONTROL_GET_SECTOR_SIZE, &size), IO_OK);
    EXPECT_EQ(size, 512);
    EXPECT_EQ(device_control(0, CONTROL_GET_SECTOR_COUNT, &count), IO_OK);
    EXPECT_EQ(count, 2048u);
    EXPECT_EQ(device_control(0, 4, &block), IO_BAD_PARAMETER);
    EXPECT_EQ(device_status(5), DEVICE_NOT_READY);

    auto where = locate_volume_sectors(QString::fromStdString(img + "/"));
    ASSERT_TRUE(where.has_value()) << "a trailing slash is cut";
    EXPECT_EQ(where->drive, 0);
    EXPECT_EQ(where->start_sector, 0u);
    EXPECT_FALSE(locate_volume_sectors(QString::fromStdString(dir / "none.img")).has_value());
}

TEST(sector_device, a_fat_volume_beyond_2_tib_is_read_at_the_right_place) {
    for (const char* tool : {"sfdisk", "mkfs.fat", "mcopy", "mdel"})
        if (!qv::test::have_tool(tool)) GTEST_SKIP() << tool << " is not installed";
    qv::test::temp_dir dir;
    std::string img = dir / "huge.img";
    // A sparse 3 TiB disk whose GPT partition starts at sector 5,000,000,000 (2.56 TB).
    constexpr uint64_t start = 5000000000ull, sectors = 65536;
    if (run("truncate -s 3T " + shell_quote(img)) != 0) GTEST_SKIP() << "no room for a sparse 3 TiB file here";
    ASSERT_TRUE(qv::test::write_partition_table(
        img, "label: gpt\nstart=" + std::to_string(start) + ", size=" + std::to_string(sectors) + "\n"));
    ASSERT_TRUE(qv::test::format_fat_at(img, start, sectors, 16, "FAR"));
    std::string at = shell_quote(img + "@@" + std::to_string(start * 512));
    qv::test::write_file(dir / "far.txt", {'f', 'a', 'r', '\n'});
    ASSERT_EQ(run("mcopy -i " + at + " " + shell_quote(dir / "far.txt") + " ::/far.txt"), 0);
    ASSERT_EQ(run("mdel -i " + at + " ::/far.txt"), 0);

    auto engine = qv::test::scan_fat_volume(img + "#1");
    EXPECT_EQ(engine->volume_offset() / 512, start);
    const fat_item_s* item = qv::test::item_named(*engine, u"#ar.txt");
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(qv::test::recover_bytes(*engine, item->cluster, dir.path().string()),
              (std::vector<uint8_t>{'f', 'a', 'r', '\n'}));
}

TEST(safe_names, names_from_disk_stay_inside_the_destination) {
    EXPECT_EQ(safe_file_name("a/b\\c"), "a_b_c");
    EXPECT_EQ(safe_file_name(QString("x") + QChar(0) + "y"), "x_y");
    EXPECT_EQ(safe_file_name("."), "_.");
    EXPECT_EQ(safe_file_name(".."), "_..");
    EXPECT_EQ(safe_file_name(""), "_");
    EXPECT_EQ(safe_file_name("#hoto.jpg"), "#hoto.jpg");

    qv::test::temp_dir dir;
    QString folder = QString::fromStdString(dir.path().string());
    EXPECT_EQ(unique_destination(folder, "../evil"), folder + "/.._evil");
    qv::test::write_file(dir / "a.txt", {});
    qv::test::write_file(dir / "a (2).txt", {});
    EXPECT_EQ(unique_destination(folder, "a.txt"), folder + "/a (3).txt");
    qv::test::write_file(dir / "noext", {});
    EXPECT_EQ(unique_destination(folder, "noext"), folder + "/noext (2)");
    EXPECT_EQ(unique_destination(folder, ".hidden"), folder + "/.hidden");
    EXPECT_FALSE(destination_on_volume(folder, folder)) << "a folder is not a block device";
}

}  // namespace
