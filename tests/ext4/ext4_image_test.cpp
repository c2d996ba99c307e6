// Kernel-made ext2/3/4 images with files deleted by rm: every deleted file comes
// back under its path with its exact bytes, from the journal where the kernel wiped it.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "tests/ext4/ext4_test_image.hpp"

namespace qv::test {
namespace {

struct written {
    std::string path;
    std::vector<uint8_t> bytes;
    std::string target;  // symlinks
};

std::vector<uint8_t> text(const std::string& s) { return {s.begin(), s.end()}; }

// Writes a file with data chunks between holes (one extent each) and returns its bytes.
std::vector<uint8_t> write_holes(const std::string& path, size_t chunks, size_t chunk, size_t gap, uint32_t seed) {
    std::vector<uint8_t> all;
    FILE* f = std::fopen(path.c_str(), "wb");
    for (size_t i = 0; i < chunks; ++i) {
        all.resize(all.size() + gap, 0);
        std::vector<uint8_t> part = pseudo_random_bytes(chunk, seed + uint32_t(i));
        std::fseek(f, long(all.size()), SEEK_SET);
        std::fwrite(part.data(), 1, part.size(), f);
        all.insert(all.end(), part.begin(), part.end());
    }
    std::fclose(f);
    return all;
}

// The files every image gets; all but keep.txt are deleted afterwards.
std::vector<written> fill(const ext_mount& m, bool small) {
    std::vector<written> w;
    auto add = [&](const std::string& path, std::vector<uint8_t> bytes) {
        std::filesystem::create_directories(std::filesystem::path(m / path).parent_path());
        write_file(m / path, bytes);
        w.push_back({path, std::move(bytes), {}});
    };
    add("single.txt", text("one deleted file\n"));
    add("x", pseudo_random_bytes(3000, 1));
    add(std::string(255, 'n'), pseudo_random_bytes(5000, 2));
    add("Grüße — 日本語.bin", pseudo_random_bytes(7000, 3));
    add("empty", {});
    add("big.dat", pseudo_random_bytes(small ? 600 * 1024 : 5 * 1024 * 1024 + 123, 4));
    for (int d = 0; d < 10; ++d)
        for (int f = 0; f < 30; ++f) {
            const std::string p = "tree/level" + std::to_string(d % 3) + "/sub" + std::to_string(d) + "/file" +
                                  std::to_string(f) + ".dat";
            add(p, pseudo_random_bytes(100 + 37 * f + 1000 * d, uint32_t(100 + d * 30 + f)));
        }
    w.push_back({"holes.bin", write_holes(m / "holes.bin", 8, 8192, 65536, 500), {}});
    const std::string long_target = "target/" + std::string(120, 't');
    ::symlink("single.txt", (m / "short-link").c_str());
    ::symlink(long_target.c_str(), (m / "long-link").c_str());
    w.push_back({"short-link", {}, "single.txt"});
    w.push_back({"long-link", {}, long_target});
    return w;
}

struct fs_row {
    const char* name;
    const char* mkfs;
    const char* type;
    uint64_t mib;
    // Today's kernels clear a deleted ext2 inode's block pointers and wipe its entry; the
    // files are deleted the old ext2 way instead (inode freed as it is, entry merged into
    // the one before), which debugfs's kill_file and unlink do.
    bool old_ext2_delete;
};

// Deletes the files and then their folders, deepest first, with debugfs.
void delete_with_debugfs(const std::string& img, const std::vector<written>& files) {
    std::string script;
    std::set<std::string, std::greater<>> dirs;
    for (const written& w : files) {
        script += "kill_file \"/" + w.path + "\"\nunlink \"/" + w.path + "\"\n";
        for (size_t at = w.path.find('/'); at != std::string::npos; at = w.path.find('/', at + 1))
            dirs.insert(w.path.substr(0, at));
    }
    for (const std::string& d : dirs) script += "kill_file \"/" + d + "\"\nunlink \"/" + d + "\"\n";
    const std::string path = img + ".debugfs";
    write_file(path, text(script));
    std::string out;
    ASSERT_EQ(run("debugfs -w -f " + shell_quote(path) + " " + shell_quote(img), &out), 0) << out;
}

class ext_image_test : public testing::TestWithParam<fs_row> {};

TEST_P(ext_image_test, deleted_files_come_back_under_their_paths) {
    const fs_row& row = GetParam();
    const std::string tool = std::string(row.mkfs).substr(0, std::string(row.mkfs).find(' '));
    if (!have_tool(tool)) GTEST_SKIP() << tool << " is not installed";
    temp_dir work;
    const std::string img = work / "vol.img";
    std::string why;
    ASSERT_TRUE(make_ext_image(img, row.mib, row.mkfs, &why)) << why;
    std::vector<written> files;
    {
        ext_mount m;
        if (!m.mount(img, work / "mnt", row.type, &why)) GTEST_SKIP() << why;
        files = fill(m, false);
        write_file(m / "keep.txt", text("still here\n"));
        ASSERT_EQ(run("sync"), 0);
        if (!row.old_ext2_delete)
            for (const written& f : files) {
                const std::string top = f.path.substr(0, f.path.find('/'));
                std::filesystem::remove_all(m / top);
            }
        ASSERT_EQ(run("sync"), 0);
        ASSERT_TRUE(m.unmount());
    }
    if (row.old_ext2_delete) {
        if (!have_tool("debugfs")) GTEST_SKIP() << "debugfs is not installed";
        delete_with_debugfs(img, files);
    }
    ext_scan s;
    ASSERT_TRUE(s.run(img, &why)) << why;
    EXPECT_FALSE(s.result.stopped);
    const ext4::found_file* keep = s.find("keep.txt", false);
    ASSERT_NE(keep, nullptr);
    EXPECT_EQ(s.recover(*keep), text("still here\n"));
    size_t named = 0, exact = 0;
    for (const written& w : files) {
        const ext4::found_file* f = s.find(w.path, true);
        if (!f) {
            ADD_FAILURE() << row.name << ": " << w.path << " not found under its path";
            continue;
        }
        ++named;
        if (!w.target.empty()) {
            EXPECT_TRUE(f->symlink) << w.path;
            EXPECT_EQ(f->symlink_target, w.target) << w.path;
            ++exact;
            continue;
        }
        EXPECT_EQ(f->size, w.bytes.size()) << w.path;
        EXPECT_EQ(f->state, ext4::file_state::intact) << w.path;
        ext4::copy_report rep;
        const std::vector<uint8_t> got = s.recover(*f, &rep);
        EXPECT_EQ(rep.error, ext4::copy_error::none) << w.path;
        if (got == w.bytes) ++exact;
        else ADD_FAILURE() << row.name << ": " << w.path << " comes back with other bytes";
    }
    // Every folder on the way is listed as a deleted folder.
    const ext4::found_file* sub = s.find("tree/level1/sub4", true);
    ASSERT_NE(sub, nullptr);
    EXPECT_TRUE(sub->directory);
    std::printf("%s: %zu of %zu deleted files named, %zu exact; journal %u copies, %llu tags\n", row.name, named,
                files.size(), exact, unsigned(s.result.journal.copies),
                static_cast<unsigned long long>(s.result.journal.tags));
}

// A folder of many files is an htree; its root node keeps, in its last bytes,
// the leaf tail the folder's first block had before it became a node. A clean
// volume made by the kernel reports no failed checksum.
TEST(ext_image, a_clean_volume_with_htree_folders_fails_no_checksum) {
    if (!have_tool("mkfs.ext4")) GTEST_SKIP() << "mkfs.ext4 is not installed";
    temp_dir work;
    const std::string img = work / "vol.img";
    std::string why;
    ASSERT_TRUE(make_ext_image(img, 64, "mkfs.ext4 -b 4096 -O metadata_csum,64bit", &why)) << why;
    {
        ext_mount m;
        if (!m.mount(img, work / "mnt", "ext4", &why)) GTEST_SKIP() << why;
        std::filesystem::create_directories(m / "many");
        for (int i = 0; i < 400; ++i) write_file(m / ("many/a-rather-long-file-name-" + std::to_string(i) + ".txt"), text("x"));
        ASSERT_EQ(run("sync"), 0);
        ASSERT_TRUE(m.unmount());
    }
    std::string out;
    if (have_tool("debugfs")) {
        ASSERT_EQ(run("debugfs -R 'htree_dump /many' " + shell_quote(img) + " 2>/dev/null", &out), 0);
        ASSERT_NE(out.find("Root node dump"), std::string::npos) << "the folder did not become an htree";
    }
    ext_scan s;
    ASSERT_TRUE(s.run(img, &why)) << why;
    EXPECT_EQ(s.vol->problems().bad_checksums, 0u);
    EXPECT_NE(s.find("many/a-rather-long-file-name-399.txt", false), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    kinds, ext_image_test,
    testing::Values(fs_row{"ext4_4k", "mkfs.ext4 -b 4096 -O metadata_csum,64bit", "ext4", 128, false},
                    fs_row{"ext4_1k", "mkfs.ext4 -b 1024 -I 256", "ext4", 96, false},
                    fs_row{"ext3", "mkfs.ext3 -b 4096", "ext3", 96, false},
                    fs_row{"ext2", "mkfs.ext2 -b 1024", "ext2", 64, true}),
    [](const testing::TestParamInfo<fs_row>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace qv::test
