// udev's database entries as the catalog reads them for volumes it cannot open.
#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <fstream>

#include "devices/blkid_probe.hpp"
#include "devices/udev_properties.hpp"
#include "tests/support/test_support.hpp"

namespace {

struct udev_row {
    const char* what;
    const char* entry;
    const char* type;
    const char* version;
    const char* label;
    const char* file_system;  // as the catalog names it
};

class udev_entries : public ::testing::TestWithParam<udev_row> {};

TEST_P(udev_entries, give_type_version_and_label) {
    qv::test::temp_dir dir;
    const udev_row& row = GetParam();
    std::ofstream(dir / "b8:17") << row.entry;
    qv::udev_file_system fs = qv::udev_file_system_of(makedev(8, 17), dir.path().string());
    EXPECT_EQ(fs.type, row.type);
    EXPECT_EQ(fs.version, row.version);
    EXPECT_EQ(fs.label, row.label);
    EXPECT_EQ(qv::file_system_name(fs.type, fs.version), row.file_system);
}

INSTANTIATE_TEST_SUITE_P(
    rows, udev_entries,
    ::testing::Values(
        udev_row{"fat32", "S:disk/by-label/CARD\nE:ID_FS_TYPE=vfat\nE:ID_FS_VERSION=FAT32\nE:ID_FS_LABEL=CARD\n",
                 "vfat", "FAT32", "CARD", "FAT32"},
        udev_row{"ntfs_escaped_label",
                 "E:ID_FS_TYPE=ntfs\nE:ID_FS_LABEL=My_Disk\nE:ID_FS_LABEL_ENC=My\\x20Disk\n", "ntfs", "",
                 "My Disk", "NTFS"},
        udev_row{"broken_escape", "E:ID_FS_TYPE=exfat\nE:ID_FS_LABEL_ENC=A\\x2\n", "exfat", "", "A\\x2",
                 "exFAT"},
        udev_row{"no_file_system", "E:DEVTYPE=disk\nE:ID_PART_TABLE_TYPE=dos\n", "", "", "", ""},
        udev_row{"not_properties", "ID_FS_TYPE=vfat\nG:systemd\nE:ID_FS_TYPE\n", "", "", "", ""}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(udev_entries_missing, give_nothing) {
    qv::test::temp_dir dir;
    qv::udev_file_system fs = qv::udev_file_system_of(makedev(8, 1), dir.path().string());
    EXPECT_TRUE(fs.type.empty());
    EXPECT_TRUE(fs.label.empty());
    EXPECT_TRUE(qv::udev_file_system_of(0, dir.path().string()).type.empty());
}

}  // namespace
