// quorvane-cli on exFAT images made by mkfs.exfat and emptied through exfat-fuse:
// the scan lists deleted files with their full names, the recovery writes their bytes.

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/exfat/exfat_test_image.hpp"

namespace fs = std::filesystem;
using namespace qv::test;

namespace {

std::string cli(const std::string& args) { return std::string("QUORVANE_IMAGES_ONLY=1 ") + QUORVANE_CLI + " " + args; }

const std::string long_name = "A rather long holiday video name, " + std::string(180, 'v') + " final cut.mp4";

TEST(ExfatCli, ScanAndRecoverDeletedFilesWithTheirNames) {
    temp_dir dir;
    const std::string image = dir / "sdxc.img";
    std::string why;
    if (!make_exfat_image(image, 40, 32768, &why)) GTEST_SKIP() << why;
    {
        exfat_mount m;
        if (!m.mount(image, dir / "mnt", &why)) GTEST_SKIP() << why;
        fs::create_directories(m / "Trips/2023");
        write_file(m / ("Trips/2023/" + long_name), pseudo_random_bytes(2000000, 1));
        write_file(m / "Trips/2023/map.png", pseudo_random_bytes(33333, 2));
        write_file(m / "readme.txt", pseudo_random_bytes(10, 3));
        fs::remove(m / ("Trips/2023/" + long_name));
        fs::remove(m / "Trips/2023/map.png");
        ASSERT_TRUE(m.unmount());
    }
    std::string out;
    ASSERT_EQ(run(cli("scan --json " + shell_quote(image)) + " 2>/dev/null", &out), 0) << out;
    EXPECT_NE(out.find("\"path\":\"/Trips/2023/" + long_name + "\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"path\":\"/Trips/2023/map.png\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"name\":\"Trips\""), std::string::npos) << out;
    EXPECT_EQ(out.find("readme"), std::string::npos) << "live files are not listed";

    const std::string to = dir / "out";
    ASSERT_EQ(run(cli("recover " + shell_quote(image) + " --to " + shell_quote(to) + " --keep-tree") + " 2>&1", &out), 0)
        << out;
    EXPECT_EQ(read_file(to + "/Trips/2023/" + long_name), pseudo_random_bytes(2000000, 1));
    EXPECT_EQ(read_file(to + "/Trips/2023/map.png"), pseudo_random_bytes(33333, 2));
    EXPECT_NE(out.find("recovered 2 of 2 files"), std::string::npos) << out;
}

}  // namespace
