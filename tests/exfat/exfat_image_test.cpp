// The exFAT reader over images made by mkfs.exfat and filled and emptied through
// exfat-fuse: names, sizes, times, states and bytes of deleted files and folders.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "exfat/file_copy.hpp"
#include "tests/exfat/exfat_scan.hpp"
#include "tests/exfat/exfat_test_image.hpp"

namespace fs = std::filesystem;
using namespace qv;
using namespace qv::test;

namespace {

struct planted {
    std::string path;   // from the root
    size_t size;
    uint32_t seed;
};

const std::string long_name = std::string(251, 'L') + ".bin";  // 255 units
const std::string unicode_name = "Fotos \xC3\xBC \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80.jpg";

// Written, then deleted; each must come back with these bytes.
const std::vector<planted> deleted_files = {
    {"/gone.bin", 70000, 1},
    {"/empty.txt", 0, 2},
    {"/z", 333, 3},
    {"/" + long_name, 5000, 4},
    {"/" + unicode_name, 12345, 5},
    {"/a/b/c/deep.dat", 50000, 6},
    {"/a/b/gonedir/inner.txt", 3000, 7},
    {"/a/b/gonedir/sub/x.bin", 9000, 8},
    {"/timed.txt", 777, 9},
};
constexpr int64_t timed_seconds = 1614834368;  // 2021-03-04 05:06:08 UTC

void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes, bool append = false) {
    std::ofstream f(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

struct built_image {
    std::string path;
    std::string skip;
    std::vector<uint8_t> frag_bytes;
};

// One image per cluster size, built once for all the checks on it.
built_image build(const temp_dir& dir, uint32_t cluster) {
    built_image b;
    b.path = dir / ("c" + std::to_string(cluster) + ".img");
    std::string why;
    if (!make_exfat_image(b.path, 64, cluster, &why)) {
        b.skip = why;
        return b;
    }
    exfat_mount m;
    if (!m.mount(b.path, dir / "mnt", &why)) {
        b.skip = why;
        return b;
    }
    // A deleted file whose clusters the next file takes.
    fs::create_directories(m / "a/b/c");
    fs::create_directories(m / "a/b/gonedir/sub");
    write_bytes(m / "a/victim.bin", pseudo_random_bytes(40000, 50));
    fs::remove(m / "a/victim.bin");
    write_bytes(m / "reuse.bin", pseudo_random_bytes(40000, 51));

    write_bytes(m / "keep.txt", pseudo_random_bytes(1000, 52));
    for (const planted& p : deleted_files) write_bytes(m / p.path.substr(1), pseudo_random_bytes(p.size, p.seed));
    // A file written around another one: its clusters are not consecutive.
    auto frag1 = pseudo_random_bytes(cluster + 100, 60), frag2 = pseudo_random_bytes(cluster, 61);
    write_bytes(m / "frag.bin", frag1);
    write_bytes(m / "spacer.bin", pseudo_random_bytes(100, 62));
    write_bytes(m / "frag.bin", frag2, true);
    b.frag_bytes = frag1;
    b.frag_bytes.insert(b.frag_bytes.end(), frag2.begin(), frag2.end());
    run("touch -d '2021-03-04 05:06:08 UTC' " + shell_quote(m / "timed.txt"));

    for (const planted& p : deleted_files) fs::remove(m / p.path.substr(1));
    fs::remove_all(m / "a/b/gonedir");
    fs::remove(m / "frag.bin");
    if (!m.unmount()) b.skip = "fusermount -u failed";
    return b;
}

class ExfatImage : public testing::TestWithParam<uint32_t> {};

TEST_P(ExfatImage, DeletedFilesAndFoldersComeBackWithNamesTimesStatesAndBytes) {
    temp_dir dir;
    built_image b = build(dir, GetParam());
    if (!b.skip.empty()) GTEST_SKIP() << b.skip;

    exfat_scan s = scan_exfat_file(b.path);
    ASSERT_EQ(s.open_result, 0);
    EXPECT_FALSE(s.volume->layout().from_backup);
    EXPECT_TRUE(s.volume->bitmap_known());
    EXPECT_TRUE(s.volume->upcase_checksum_ok());
    EXPECT_EQ(s.volume->label(), "QVTEST");
    auto items = s.by_path();

    for (const planted& p : deleted_files) {
        SCOPED_TRACE(p.path);
        auto it = items.find(p.path);
        ASSERT_NE(it, items.end());
        const exfat::found_entry& f = *it->second;
        EXPECT_TRUE(f.deleted);
        EXPECT_FALSE(f.set.directory());
        EXPECT_FALSE(f.set.doubtful());
        EXPECT_EQ(f.set.data_length, p.size);
        EXPECT_EQ(f.state, exfat::data_state::intact);
        int rc = -99;
        auto bytes = s.copy(f, dir / "out.bin", &rc);
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(bytes, pseudo_random_bytes(p.size, p.seed));
    }
    // Folders: live ones are listed to hold the tree, the deleted one with what it held.
    for (const char* live : {"/a", "/a/b", "/a/b/c"}) {
        ASSERT_TRUE(items.count(live)) << live;
        EXPECT_TRUE(items[live]->set.directory());
        EXPECT_FALSE(items[live]->deleted);
    }
    ASSERT_TRUE(items.count("/a/b/gonedir"));
    EXPECT_TRUE(items["/a/b/gonedir"]->deleted);
    EXPECT_TRUE(items["/a/b/gonedir/sub"]->set.directory());
    EXPECT_TRUE(items["/a/b/gonedir/sub"]->deleted);
    // Files that still exist are the file system's business.
    EXPECT_FALSE(items.count("/keep.txt"));
    EXPECT_FALSE(items.count("/reuse.bin"));

    // Times: the modification time as touch set it, in UTC.
    const exfat::found_entry& timed = *items.at("/timed.txt");
    EXPECT_EQ(timed.set.modified.seconds, timed_seconds);
    EXPECT_TRUE(timed.set.modified.utc_known);
    struct stat st {};
    ASSERT_EQ(exfat::copy_file(*s.volume, timed, (dir / "timed.out").c_str(), nullptr), 0);
    ASSERT_EQ(::stat((dir / "timed.out").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, timed_seconds);

    // The victim's clusters hold reuse.bin now.
    ASSERT_TRUE(items.count("/a/victim.bin"));
    EXPECT_EQ(items["/a/victim.bin"]->state, exfat::data_state::overwritten);

    // The fragmented file: read onward around spacer.bin's clusters.
    ASSERT_TRUE(items.count("/frag.bin"));
    const exfat::found_entry& frag = *items["/frag.bin"];
    EXPECT_FALSE(frag.set.no_fat_chain());
    EXPECT_EQ(frag.state, exfat::data_state::assembled);
    EXPECT_EQ(s.copy(frag, dir / "frag.out"), b.frag_bytes);

    // Every deleted file sleuthkit lists is listed here too.
    if (have_tool("fls")) {
        std::string out;
        ASSERT_EQ(run("fls -r -d -p -f exfat " + shell_quote(b.path), &out), 0) << out;
        std::istringstream lines(out);
        std::string line;
        int compared = 0;
        while (std::getline(lines, line)) {
            auto tab = line.find('\t');
            if (tab == std::string::npos || line.find(" * ") == std::string::npos) continue;
            std::string path = "/" + line.substr(tab + 1);
            if (path.find("/$") != std::string::npos) continue;
            EXPECT_TRUE(items.count(path)) << "fls lists " << path;
            ++compared;
        }
        EXPECT_GT(compared, 5);
    }
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, ExfatImage, testing::Values(512u, 4096u, 32768u, 131072u),
                         [](const auto& info) { return "cluster_" + std::to_string(info.param); });

// A deleted folder with 500 files: its own entries are read from its clusters.
TEST(ExfatImageFolders, DeletedFolderWithFiveHundredFiles) {
    temp_dir dir;
    const std::string image = dir / "many.img";
    std::string why;
    if (!make_exfat_image(image, 64, 4096, &why)) GTEST_SKIP() << why;
    {
        exfat_mount m;
        if (!m.mount(image, dir / "mnt", &why)) GTEST_SKIP() << why;
        fs::create_directories(m / "old");
        for (int i = 0; i < 500; ++i)
            write_bytes(m / ("old/file_" + std::to_string(i) + ".txt"),
                        pseudo_random_bytes(100 + size_t(i) * 7, uint32_t(1000 + i)));
        fs::remove_all(m / "old");
        ASSERT_TRUE(m.unmount());
    }
    exfat_scan s = scan_exfat_file(image);
    ASSERT_EQ(s.open_result, 0);
    auto items = s.by_path();
    ASSERT_TRUE(items.count("/old"));
    EXPECT_TRUE(items["/old"]->deleted);
    int found = 0;
    for (int i = 0; i < 500; ++i) {
        std::string path = "/old/file_" + std::to_string(i) + ".txt";
        auto it = items.find(path);
        if (it == items.end()) {
            ADD_FAILURE() << "missing " << path;
            continue;
        }
        ++found;
        EXPECT_EQ(s.copy(*it->second, dir / "out"), pseudo_random_bytes(100 + size_t(i) * 7, uint32_t(1000 + i)))
            << path;
    }
    EXPECT_EQ(found, 500);
}

// What sleuthkit's fls lists as deleted regular files (orphans too), by path from the root.
std::set<std::string> fls_deleted_files(const std::string& image) {
    std::set<std::string> out;
    std::string text;
    if (run("fls -r -d " + shell_quote(image), &text) != 0) return out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("r/r *", 0) != 0 && line.rfind("-/r *", 0) != 0) continue;
        size_t tab = line.find('\t');
        if (tab != std::string::npos) out.insert("/" + line.substr(tab + 1));
    }
    return out;
}

TEST(ExfatImageFolders, FoldersRemovedTogetherKeepTheirFilesUnderThem) {
    temp_dir dir;
    const std::string image = dir / "tree.img";
    std::string why;
    if (!make_exfat_image(image, 48, 4096, &why)) GTEST_SKIP() << why;
    // Three levels made at once, each folder's first cluster right after the one above.
    std::map<std::string, std::vector<uint8_t>> written;
    {
        exfat_mount m;
        if (!m.mount(image, dir / "mnt", &why)) GTEST_SKIP() << why;
        const std::string music = "old.stuff/\xE9\x9F\xB3\xE6\xA5\xBD";  // 音楽
        fs::create_directories(m / (music + "/data files"));
        auto plant = [&](const std::string& path, size_t size, uint32_t seed) {
            written["/" + path] = pseudo_random_bytes(size, seed);
            write_bytes(m / path, written["/" + path]);
        };
        for (int i = 1; i <= 30; ++i) plant("old.stuff/file number " + std::to_string(i) + ".txt", 700u * i + 100, i);
        for (int i = 1; i <= 15; ++i) plant(music + "/song track " + std::to_string(i) + ".mp3", 900u * i + 50, 100 + i);
        for (int i = 1; i <= 17; ++i)
            plant(music + "/data files/data record " + std::to_string(i) + ".bin", 1000u * i + 7, 200 + i);
        fs::remove_all(m / "old.stuff");
        ASSERT_TRUE(m.unmount());
    }
    exfat_scan s = scan_exfat_file(image);
    ASSERT_EQ(s.open_result, 0);
    auto items = s.by_path();
    for (const auto& [path, bytes] : written) {
        SCOPED_TRACE(path);
        auto it = items.find(path);
        ASSERT_NE(it, items.end()) << "listed under its own folder";
        EXPECT_TRUE(it->second->deleted);
        EXPECT_EQ(s.copy(*it->second, dir / "out"), bytes);
    }
    size_t files = 0;
    for (const auto& [path, item] : items)
        if (!item->set.directory()) ++files;
    EXPECT_EQ(files, written.size()) << "no file is listed twice or under another folder";
    if (have_tool("fls")) {
        std::set<std::string> paths;
        for (const auto& [path, bytes] : written) paths.insert(path);
        EXPECT_EQ(fls_deleted_files(image), paths) << "sleuthkit agrees";
    }
}

TEST(ExfatImageFolders, FilesInADeletedFoldersFarLaterClusterAreListed) {
    temp_dir dir;
    const std::string image = dir / "far.img";
    std::string why;
    if (!make_exfat_image(image, 48, 4096, &why)) GTEST_SKIP() << why;
    std::map<std::string, std::vector<uint8_t>> first, later;
    {
        exfat_mount m;
        if (!m.mount(image, dir / "mnt", &why)) GTEST_SKIP() << why;
        fs::create_directories(m / "far");
        // 40 sets of three entries and 2 of four fill the folder's first cluster (128 entries).
        for (int i = 0; i < 42; ++i) {
            std::string name = (i < 40 ? "f_" : "a longer name ") + std::to_string(100 + i) + ".bin";
            first[name] = pseudo_random_bytes(500 + size_t(i), uint32_t(i));
            write_bytes(m / ("far/" + name), first[name]);
        }
        // Then more data than the walk looks ahead, then the files of the folder's next cluster.
        write_bytes(m / "filler.bin", pseudo_random_bytes(12u << 20, 99));
        for (int i = 0; i < 5; ++i) {
            std::string name = "late_" + std::to_string(i) + ".bin";
            later[name] = pseudo_random_bytes(800 + size_t(i), uint32_t(50 + i));
            write_bytes(m / ("far/" + name), later[name]);
        }
        fs::remove_all(m / "far");
        fs::remove(m / "filler.bin");
        ASSERT_TRUE(m.unmount());
    }
    exfat_scan s = scan_exfat_file(image);
    ASSERT_EQ(s.open_result, 0);
    auto items = s.by_path();
    for (const auto& [name, bytes] : first) {
        auto it = items.find("/far/" + name);
        ASSERT_NE(it, items.end()) << name;
        EXPECT_EQ(s.copy(*it->second, dir / "out"), bytes) << name;
    }
    for (const auto& [name, bytes] : later) {
        SCOPED_TRACE(name);
        // Nothing in the later cluster names its folder: it is shown under the lost files.
        auto it = items.find("/far/" + name);
        if (it == items.end()) it = items.find("/Lost files/" + name);
        ASSERT_NE(it, items.end()) << "listed";
        EXPECT_TRUE(it->second->deleted);
        EXPECT_EQ(s.copy(*it->second, dir / "out"), bytes);
    }
    if (items.count("/Lost files")) {
        const auto* lost = items["/Lost files"];
        EXPECT_EQ(lost->id, exfat::lost_files_id);
        EXPECT_EQ(lost->parent, 0u);
        EXPECT_TRUE(lost->set.directory());
    }
    if (have_tool("fls")) {
        // Every file sleuthkit names (it lists the later cluster's files as orphans) is listed here too.
        std::set<std::string> ours;
        for (const auto& [path, item] : items)
            if (!item->set.directory()) ours.insert(item->set.name);
        for (const std::string& path : fls_deleted_files(image)) {
            std::string name = path.substr(path.rfind('/') + 1);
            if (name.rfind("OrphanFile-", 0) == 0) continue;
            EXPECT_TRUE(ours.count(name)) << path;
        }
    }
}

// Pattern bytes that are cheap to make and to check at 300 MB.
uint64_t pattern_word(uint64_t index) { return (index * 0x9E3779B97F4A7C15ull) ^ 0x5DEECE66Dull; }

TEST(ExfatImageLarge, ThreeHundredMegabyteNoFatChainFileExactly) {
    temp_dir dir;
    const std::string image = dir / "large.img";
    constexpr size_t size = 300u << 20;
    std::string why;
    if (!make_exfat_image(image, 400, 32768, &why)) GTEST_SKIP() << why;
    {
        exfat_mount m;
        if (!m.mount(image, dir / "mnt", &why)) GTEST_SKIP() << why;
        std::ofstream f(m / "movie.mp4", std::ios::binary);
        std::vector<uint64_t> block(1u << 17);
        for (size_t at = 0; at < size; at += block.size() * 8) {
            for (size_t k = 0; k < block.size(); ++k) block[k] = pattern_word(at / 8 + k);
            f.write(reinterpret_cast<const char*>(block.data()), std::streamsize(block.size() * 8));
        }
        f.close();
        fs::remove(m / "movie.mp4");
        ASSERT_TRUE(m.unmount());
    }
    exfat_scan s = scan_exfat_file(image);
    ASSERT_EQ(s.open_result, 0);
    auto items = s.by_path();
    ASSERT_TRUE(items.count("/movie.mp4"));
    const exfat::found_entry& movie = *items["/movie.mp4"];
    EXPECT_TRUE(movie.set.no_fat_chain());
    EXPECT_EQ(movie.set.data_length, size);
    EXPECT_EQ(movie.state, exfat::data_state::intact);
    const std::string out = dir / "movie.out";
    ASSERT_EQ(exfat::copy_file(*s.volume, movie, out.c_str(), nullptr), 0);
    ASSERT_EQ(fs::file_size(out), size);
    std::ifstream in(out, std::ios::binary);
    std::vector<uint64_t> block(1u << 17);
    size_t bad = 0;
    for (size_t at = 0; at < size; at += block.size() * 8) {
        in.read(reinterpret_cast<char*>(block.data()), std::streamsize(block.size() * 8));
        for (size_t k = 0; k < block.size(); ++k) bad += block[k] != pattern_word(at / 8 + k);
    }
    EXPECT_EQ(bad, 0u);
}

}  // namespace
