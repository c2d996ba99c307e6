// quorvane-cli on ext4 and ext3 images filled and emptied by the kernel: the scan
// lists deleted files under their paths, the recovery writes their exact bytes
// with their modification times.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/ext4/ext4_test_image.hpp"

namespace fs = std::filesystem;
using namespace qv::test;

namespace {

std::string cli(const std::string& args) { return std::string("QUORVANE_IMAGES_ONLY=1 ") + QUORVANE_CLI + " " + args; }

class ExtCli : public ::testing::TestWithParam<const char*> {};

TEST_P(ExtCli, ScanAndRecoverDeletedFilesUnderTheirPaths) {
    temp_dir dir;
    const std::string image = dir / "disk.img";
    std::string why;
    if (!make_ext_image(image, 64, std::string(GetParam()) + " -q -F", &why)) GTEST_SKIP() << why;
    const std::string name255(255, 'n');
    {
        ext_mount m;
        if (!m.mount(image, dir / "mnt", "ext4", &why)) GTEST_SKIP() << why;
        fs::create_directories(m / "Photos/2024/Ferien über");
        write_file(m / "Photos/2024/Ferien über/beach.jpg", pseudo_random_bytes(3000000, 1));
        write_file(m / ("Photos/" + name255), pseudo_random_bytes(5000, 2));
        write_file(m / "notes.txt", pseudo_random_bytes(10, 3));
        write_file(m / "keep.txt", pseudo_random_bytes(20, 4));
        ::sync();
        fs::remove_all(m / "Photos");
        fs::remove(m / "notes.txt");
        ASSERT_TRUE(m.unmount());
    }
    std::string out;
    ASSERT_EQ(run(cli("scan --json " + shell_quote(image)) + " 2>/dev/null", &out), 0) << out;
    EXPECT_NE(out.find("\"path\":\"/Photos/2024/Ferien über/beach.jpg\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"path\":\"/Photos/" + name255 + "\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"path\":\"/notes.txt\",\"name\":\"notes.txt\",\"size\":10"), std::string::npos) << out;

    const std::string to = dir / "out";
    ASSERT_EQ(run(cli("recover " + shell_quote(image) + " --to " + shell_quote(to) + " --keep-tree") + " 2>&1", &out), 0)
        << out;
    EXPECT_NE(out.find("recovered 3 of 3 files"), std::string::npos) << out;
    EXPECT_EQ(read_file(to + "/Photos/2024/Ferien über/beach.jpg"), pseudo_random_bytes(3000000, 1));
    EXPECT_EQ(read_file(to + "/Photos/" + name255), pseudo_random_bytes(5000, 2));
    EXPECT_EQ(read_file(to + "/notes.txt"), pseudo_random_bytes(10, 3));
    EXPECT_FALSE(fs::exists(to + "/keep.txt")) << "a live file is not recovered unless asked for";
    struct stat st {};
    ASSERT_EQ(::stat((to + "/notes.txt").c_str(), &st), 0);
    EXPECT_GT(st.st_mtime, 1600000000) << "the file's own modification time, not 1970";
}

INSTANTIATE_TEST_SUITE_P(kinds, ExtCli, ::testing::Values("mkfs.ext4", "mkfs.ext3"));

}  // namespace
