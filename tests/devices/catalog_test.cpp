// The device catalog on real images: sfdisk tables, mkfs.fat and mkntfs file systems,
// and (as root) the same images on loop devices.
#include <algorithm>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "devices/device_catalog.hpp"
#include "devices/le_bytes.hpp"
#include "devices/open_routes.hpp"
#include "devices/volume_items.hpp"
#include "tests/support/disk_images.hpp"
#include "tests/support/test_support.hpp"

namespace {

using qv::test::temp_dir;

constexpr uint64_t mib_sectors = 2048;

// A 64 MiB MBR image: FAT16 "ALPHA", NTFS "BETA", and an extended partition
// holding a FAT12 "GAMMA" (partition 5).
bool make_mbr_image(const std::string& img) {
    return qv::test::make_blank_image(img, 64) &&
           qv::test::write_partition_table(img,
                                           "label: dos\n"
                                           "start=2048, size=32768, type=6\n"
                                           "start=34816, size=40960, type=7\n"
                                           "start=75776, size=49152, type=5\n"
                                           "start=77824, size=8192, type=1\n") &&
           qv::test::format_fat_at(img, 2048, 32768, 16, "ALPHA") &&
           qv::test::format_ntfs_at(img, 34816, 40960, "BETA") &&
           qv::test::format_fat_at(img, 77824, 8192, 12, "GAMMA");
}

class catalog_on_images : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"sfdisk", "mkfs.fat", "mkntfs"})
            if (!qv::test::have_tool(tool)) GTEST_SKIP() << tool << " is not installed";
        catalog.set_block_devices_enabled(false);
        ASSERT_TRUE(make_mbr_image(mbr));
    }
    temp_dir dir;
    std::string mbr = dir / "disk.img";
    qv::device_catalog catalog;
};

TEST_F(catalog_on_images, lists_partitions_with_numbers_offsets_and_file_systems) {
    ASSERT_EQ(catalog.open_image(mbr), 0);
    auto drives = catalog.drives();
    ASSERT_EQ(drives.size(), 1u);
    EXPECT_EQ(drives[0].path, mbr);
    EXPECT_TRUE(drives[0].is_image);
    EXPECT_TRUE(drives[0].ready);
    EXPECT_EQ(drives[0].size, 64u << 20);

    auto volumes = catalog.volumes();
    ASSERT_EQ(volumes.size(), 3u) << "the extended container is not a volume";
    struct expected {
        int number;
        uint64_t first, sectors;
        const char* fs;
        const char* label;
    } want[] = {{1, 2048, 32768, "FAT16", "ALPHA"}, {2, 34816, 40960, "NTFS", "BETA"},
                {5, 77824, 8192, "FAT12", "GAMMA"}};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(want[i].label);
        EXPECT_EQ(volumes[i].path, mbr + "#" + std::to_string(want[i].number));
        EXPECT_EQ(volumes[i].partition_number, want[i].number);
        EXPECT_EQ(volumes[i].drive_number, 0);
        EXPECT_EQ(volumes[i].offset, want[i].first * 512);
        EXPECT_EQ(volumes[i].length, want[i].sectors * 512);
        EXPECT_EQ(volumes[i].file_system, want[i].fs);
        EXPECT_EQ(volumes[i].label, want[i].label);
        EXPECT_TRUE(volumes[i].mount_path.empty());
        EXPECT_EQ(volumes[i].total_bytes, volumes[i].length);
        EXPECT_EQ(volumes[i].free_bytes, 0u);
    }

    // Opening a partition gives a window onto exactly its bytes.
    auto h = catalog.open(mbr + "#5", qv::access_mode::read_only);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->length(), 8192u * 512);
    EXPECT_EQ(h->base_offset(), 77824u * 512);
    uint8_t boot[512];
    ASSERT_TRUE(h->read_exact(0, boot, sizeof boot));
    EXPECT_TRUE(qv::byte_view(boot, 512).equals(54, "FAT12"));
    EXPECT_EQ(h->read_at(h->length() - 100, boot, sizeof boot), 100) << "reads stop at the partition's end";
    EXPECT_EQ(h->write_at(0, boot, 512), -1) << "a read-only handle never writes";

    auto where = catalog.locate(mbr + "#2");
    ASSERT_TRUE(where);
    EXPECT_EQ(where->offset, 34816u * 512);
    EXPECT_EQ(catalog.resolve_ntfs_name("/dev/hda2"), mbr + "#2");
    EXPECT_EQ(catalog.resolve_ntfs_name("/dev/hda0"), mbr);
    EXPECT_FALSE(catalog.resolve_ntfs_name("/dev/hdb1")) << "there is no second drive";
    EXPECT_FALSE(catalog.resolve_ntfs_name("/dev/hda9"));
}

TEST_F(catalog_on_images, images_keep_their_opening_order_and_are_listed_once) {
    std::string gpt = dir / "gpt.img";
    ASSERT_TRUE(qv::test::make_blank_image(gpt, 40));
    ASSERT_TRUE(qv::test::write_partition_table(gpt,
                                                "label: gpt\n"
                                                "start=2048, size=20480, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n"
                                                "start=22528, size=40960\n"));
    ASSERT_TRUE(qv::test::format_fat_at(gpt, 22528, 40960, 32, "DELTA"));
    std::string whole = dir / "floppy.img";
    ASSERT_EQ(qv::test::run("mkfs.fat -C -F 12 -n FLOPPY " + qv::test::shell_quote(whole) + " 1440"), 0);

    EXPECT_EQ(catalog.open_image(gpt), 0);
    EXPECT_EQ(catalog.open_image(mbr), 1);
    EXPECT_EQ(catalog.open_image(whole), 2);
    EXPECT_EQ(catalog.open_image(mbr), 1) << "an image already open keeps its number";
    std::string error;
    EXPECT_EQ(catalog.open_image(dir / "missing.img", &error), -1);
    EXPECT_NE(error.find("missing.img"), std::string::npos);

    auto volumes = catalog.volumes();
    ASSERT_EQ(volumes.size(), 6u);
    EXPECT_EQ(volumes[0].path, gpt + "#1");
    EXPECT_EQ(volumes[0].file_system, "") << "an empty partition has no file system";
    EXPECT_EQ(volumes[1].path, gpt + "#2");
    EXPECT_EQ(volumes[1].file_system, "FAT32");
    EXPECT_EQ(volumes[1].label, "DELTA");
    EXPECT_EQ(volumes[5].path, whole) << "a file system without a table is a whole-drive volume";
    EXPECT_EQ(volumes[5].partition_number, 0);
    EXPECT_EQ(volumes[5].file_system, "FAT12");
    EXPECT_EQ(volumes[5].drive_number, 2);

    auto again = catalog.volumes();
    ASSERT_EQ(again.size(), volumes.size());
    for (size_t i = 0; i < again.size(); ++i) EXPECT_EQ(again[i].path, volumes[i].path);
}

TEST_F(catalog_on_images, damaged_tables_and_truncated_images_give_what_is_there) {
    // Cut the image inside the NTFS partition: it is shortened, the logical one is gone.
    ASSERT_EQ(truncate(mbr.c_str(), 40000 * 512), 0);
    ASSERT_EQ(catalog.open_image(mbr), 0);
    auto volumes = catalog.volumes();
    ASSERT_EQ(volumes.size(), 2u);
    EXPECT_EQ(volumes[1].path, mbr + "#2");
    EXPECT_EQ(volumes[1].length, (40000u - 34816u) * 512);
    auto h = catalog.open(mbr + "#2", qv::access_mode::read_only);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->length(), (40000u - 34816u) * 512);
    std::string error;
    EXPECT_FALSE(catalog.open(mbr + "#5", qv::access_mode::read_only, &error));
    EXPECT_FALSE(error.empty());

    // An entry that starts past the end of the drive is dropped.
    std::string bad = dir / "bad.img";
    ASSERT_TRUE(qv::test::make_blank_image(bad, 8));
    ASSERT_TRUE(qv::test::write_partition_table(bad, "label: dos\nstart=2048, size=4096, type=6\n"));
    // Patch entry 2 by hand: first sector 0x00100000, far beyond 8 MiB.
    auto bytes = qv::test::read_file(bad);
    uint8_t* e2 = bytes.data() + 446 + 16;
    e2[4] = 0x06;
    qv::put_le32(e2 + 8, 0x00100000);
    qv::put_le32(e2 + 12, 4096);
    qv::test::write_file(bad, bytes);
    ASSERT_EQ(catalog.open_image(bad), 1);
    auto bad_volumes = catalog.volumes();
    int on_bad = 0;
    for (const auto& v : bad_volumes)
        if (v.drive_number == 1) {
            ++on_bad;
            EXPECT_EQ(v.path, bad + "#1");
        }
    EXPECT_EQ(on_bad, 1);
}

TEST(catalog, a_device_node_that_cannot_be_opened_keeps_its_number_and_is_not_ready) {
    if (geteuid() != 0) GTEST_SKIP() << "making a device node needs root";
    temp_dir dir;
    std::string node = dir / "dead-disk";
    // A block device number that no driver answers: open() fails with ENXIO.
    if (mknod(node.c_str(), S_IFBLK | 0600, makedev(240, 77)) != 0) GTEST_SKIP() << "mknod is not allowed here";
    std::string img = dir / "ok.img";
    ASSERT_TRUE(qv::test::make_blank_image(img, 1));
    qv::device_catalog catalog;
    catalog.set_block_devices_enabled(false);
    ASSERT_EQ(catalog.open_image(node), 0);
    ASSERT_EQ(catalog.open_image(img), 1);
    auto drives = catalog.drives();
    ASSERT_EQ(drives.size(), 2u);
    EXPECT_FALSE(drives[0].ready);
    EXPECT_TRUE(drives[1].ready);
    EXPECT_EQ(drives[1].number, 1) << "numbering does not shift past an unreadable drive";
    std::string error;
    EXPECT_FALSE(catalog.open(node, qv::access_mode::read_only, &error));
    EXPECT_NE(error.find("dead-disk"), std::string::npos);
    for (const auto& v : catalog.volumes()) EXPECT_NE(v.drive_number, 0) << v.path;
}

TEST(catalog, kernel_names_sort_naturally_with_loop_devices_last) {
    std::vector<std::string> names = {"loop10", "sdb", "loop1", "vda", "sdaa", "nvme0n10", "sda", "nvme0n1",
                                      "loop0", "mmcblk0"};
    std::sort(names.begin(), names.end(), qv::kernel_name_less);
    std::vector<std::string> want = {"mmcblk0", "nvme0n1", "nvme0n10", "sda", "sdaa", "sdb", "vda",
                                     "loop0", "loop1", "loop10"};
    EXPECT_EQ(names, want);
}

TEST(catalog, the_shared_lists_start_with_one_heading_entry) {
    temp_dir dir;
    QV_REQUIRE_TOOL("mkfs.fat");
    std::string img = dir / "stick.img";
    ASSERT_EQ(qv::test::run("mkfs.fat -C -F 16 -n STICK " + qv::test::shell_quote(img) + " 20000"), 0);
    auto& shared = qv::device_catalog::shared();
    shared.set_block_devices_enabled(false);
    shared.close_images();
    ASSERT_EQ(shared.open_image(img), 0);
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(enumerate_drives(), 0);
        EXPECT_EQ(enumerate_volumes(), 0);
        ASSERT_EQ(drive_items.size(), 2);
        EXPECT_TRUE(drive_items[0].name.isEmpty());
        EXPECT_FALSE(drive_items[0].geometry.has_value());
        EXPECT_EQ(drive_items[1].name.toStdString(), img);
        ASSERT_TRUE(drive_items[1].geometry.has_value());
        EXPECT_EQ(drive_items[1].geometry->bytes_per_sector, 512u);
        ASSERT_EQ(volume_items.size(), 2);
        EXPECT_TRUE(volume_items[0].mount_path.isEmpty());
        EXPECT_EQ(volume_items[1].file_system, "FAT16");
        EXPECT_EQ(volume_items[1].label, "STICK");
        EXPECT_EQ(volume_items[1].mount_path.toStdString(), img) << "unmounted: the volume path stands in";
        EXPECT_EQ(volume_items[1].partition_number, 0);
        EXPECT_EQ(volume_items[1].disk_number, 0);
    }
    shared.close_images();
}

TEST(catalog_on_loop_devices, a_loop_device_is_a_removable_drive_with_its_file_system) {
    QV_REQUIRE_TOOL("mkfs.fat");
    temp_dir dir;
    std::string img = dir / "card.img";
    ASSERT_EQ(qv::test::run("mkfs.fat -C -F 32 -n CARD " + qv::test::shell_quote(img) + " 40000"), 0);
    qv::test::loop_device loop;
    std::string why;
    if (!loop.attach(img, false, &why)) GTEST_SKIP() << why;
    qv::device_catalog catalog;
    auto drives = catalog.drives();
    auto it = std::find_if(drives.begin(), drives.end(), [&](const auto& d) { return d.path == loop.path(); });
    ASSERT_NE(it, drives.end()) << loop.path() << " is not listed";
    EXPECT_TRUE(it->removable);
    EXPECT_TRUE(it->ready);
    EXPECT_EQ(it->size, 40000u * 1024);
    EXPECT_EQ(it->sector_size, 512u);
    for (size_t i = 0; i + 1 < drives.size(); ++i)
        EXPECT_TRUE(qv::kernel_name_less(drives[i].kernel_name, drives[i + 1].kernel_name));
    auto v = catalog.locate(loop.path());
    ASSERT_TRUE(v);
    EXPECT_EQ(v->file_system, "FAT32");
    EXPECT_EQ(v->label, "CARD");
    EXPECT_EQ(v->partition_number, 0);
    EXPECT_EQ(v->drive_number, it->number);
}

// Naming an image file must not read the disks: one of them may be the
// failing one the image was taken from. A loop device stands in for it, and
// the kernel reports any read of its node.
TEST(catalog_on_loop_devices, opening_and_locating_an_image_touch_no_disk) {
    QV_REQUIRE_TOOL("mkfs.fat");
    temp_dir dir;
    std::string disk = dir / "disk.img", image = dir / "copy.img";
    ASSERT_EQ(qv::test::run("mkfs.fat -C -F 32 -n DISK " + qv::test::shell_quote(disk) + " 40000"), 0);
    ASSERT_EQ(qv::test::run("mkfs.fat -C -F 32 -n COPY " + qv::test::shell_quote(image) + " 40000"), 0);
    qv::test::loop_device loop;
    std::string why;
    if (!loop.attach(disk, false, &why)) GTEST_SKIP() << why;
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, loop.path().c_str(), IN_ACCESS | IN_OPEN), 0) << loop.path();
    qv::device_catalog catalog;
    const int number = catalog.open_image(image);
    ASSERT_GE(number, 0);
    EXPECT_EQ(catalog.open_image(image), number) << "opened twice, listed once";
    auto v = catalog.locate(image);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->label, "COPY");
    EXPECT_EQ(v->drive_number, number);
    char events[4096];
    const ssize_t got = ::read(watch, events, sizeof events);
    EXPECT_TRUE(got < 0 && errno == EAGAIN) << loop.path() << " was opened or read while an image was located";
    // The number is the one the full listing gives it.
    const auto drives = catalog.drives();
    const auto listed = std::find_if(drives.begin(), drives.end(), [&](const qv::drive_info& d) { return d.path == image; });
    ASSERT_NE(listed, drives.end());
    EXPECT_EQ(listed->number, number);
    while (::read(watch, events, sizeof events) > 0) {
    }
    // The disk itself is still found, and read, when it is the one named.
    auto d = catalog.locate(loop.path());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->label, "DISK");
    EXPECT_GT(::read(watch, events, sizeof events), 0) << "reads of the node are seen";
    ::close(watch);
}

}  // namespace

// The udisks2 route is a module loaded on first use: from the build tree's test
// programs it is found (an answer from the bus or about the bus, never a
// missing module), and D-Bus is in the process once it was asked.
TEST(udisks_route, the_module_is_found_from_the_build_tree) {
    auto loaded = [] {
        std::ifstream maps("/proc/self/maps");
        std::string line;
        while (std::getline(maps, line))
            if (line.find("libQt6DBus") != std::string::npos || line.find("libquorvane-udisks") != std::string::npos)
                return true;
        return false;
    };
    const qv::route_result r =
        qv::open_with_udisks("/dev/quorvane-no-such-device", qv::access_mode::read_only, 2000);
    EXPECT_LT(r.fd, 0);
    EXPECT_EQ(r.error.find("module could not be loaded"), std::string::npos) << r.error;
    EXPECT_TRUE(loaded());
}
