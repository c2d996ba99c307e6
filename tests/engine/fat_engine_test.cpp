// The FAT engine on images made by mkfs.fat and filled and emptied with mtools.
#include <gtest/gtest.h>

#include <sstream>

#include "devices/le_bytes.hpp"
#include "engine/fat_recovery.hpp"
#include "tests/engine/fat_scan.hpp"
#include "tests/support/test_support.hpp"

namespace {

using qv::test::read_file;
using qv::test::run;
using qv::test::shell_quote;

// 2024-03-05 14:22:08 UTC, an even second (FAT keeps two-second steps).
constexpr int64_t file_time = 1709648528;

struct fat_case {
    int bits;
    uint64_t kib;
    const char* mkfs_options;
};

class fat_engine_on_mtools_images : public ::testing::TestWithParam<fat_case> {
protected:
    void SetUp() override {
        for (const char* tool : {"mkfs.fat", "mcopy", "mmd", "mdel", "mdeltree"})
            if (!qv::test::have_tool(tool)) GTEST_SKIP() << tool << " is not installed";
        setenv("LC_ALL", "C.UTF-8", 1);
        const auto& c = GetParam();
        ASSERT_EQ(run("mkfs.fat -C -F " + std::to_string(c.bits) + " " + c.mkfs_options + " " + shell_quote(img) +
                      " " + std::to_string(c.kib)),
                  0);
        cluster_bytes = read_file(img)[13] * 512u;
    }
    // Copies bytes into the image at path with the fixed modification time.
    void put(const std::string& path, const std::vector<uint8_t>& bytes) {
        std::string local = dir / "local.bin";
        qv::test::write_file(local, bytes);
        ASSERT_EQ(run("touch -d '2024-03-05 14:22:08 UTC' " + shell_quote(local)), 0);
        ASSERT_EQ(run("mcopy -m -i " + shell_quote(img) + " " + shell_quote(local) + " " + shell_quote("::" + path)), 0);
        originals[path] = bytes;
    }
    void mtools(const std::string& command) { ASSERT_EQ(run(command + " -i " + shell_quote(img)), 0) << command; }
    void mtools(const std::string& tool, const std::string& path) {
        ASSERT_EQ(run(tool + " -i " + shell_quote(img) + " " + shell_quote("::" + path)), 0) << tool << " " << path;
    }

    qv::test::temp_dir dir;
    std::string img = dir / "fat.img";
    uint32_t cluster_bytes = 0;
    std::map<std::string, std::vector<uint8_t>> originals;
};

TEST_P(fat_engine_on_mtools_images, finds_deleted_files_with_names_parents_dates_and_exact_bytes) {
    auto random = [](size_t n, uint32_t seed) { return qv::test::pseudo_random_bytes(n, seed); };
    mtools("mmd", "/Docs");
    mtools("mmd", "/Docs/Sub");
    mtools("mmd", "/Gone");
    mtools("mmd", "/Long folder name ünïcödé");
    put("/keep.txt", random(5, 1));
    put("/photo.jpg", random(5000, 2));
    put("/empty.txt", {});
    put("/exact.bin", random(2 * cluster_bytes, 3));
    put("/Docs/report.doc", random(10000, 4));
    put("/Docs/Sub/deep.bin", random(70000, 5));
    put("/Docs/live.txt", random(40, 6));
    put("/Gone/a.txt", random(300, 7));
    put("/Gone/b.txt", random(2000, 8));
    put("/Long folder name ünïcödé/x.dat", random(700, 9));
    for (const char* p : {"/photo.jpg", "/empty.txt", "/exact.bin", "/Docs/report.doc", "/Docs/Sub/deep.bin",
                          "/Long folder name ünïcödé/x.dat"})
        mtools("mdel", p);
    mtools("mdeltree", "/Gone");

    auto engine = qv::test::scan_fat_volume(img);
    const auto& items = engine->items();

    // Deleted names keep all but their first letter; live folders keep their long names.
    struct want {
        std::u16string name;
        const char* original;
        std::u16string parent;  // empty: the root
    } files[] = {
        {u"#hoto.jpg", "/photo.jpg", u""},
        {u"#xact.bin", "/exact.bin", u""},
        {u"#eport.doc", "/Docs/report.doc", u"Docs"},
        {u"#eep.bin", "/Docs/Sub/deep.bin", u"Sub"},
        {u"#.dat", "/Long folder name ünïcödé/x.dat", u"Long folder name ünïcödé"},
    };
    for (const auto& w : files) {
        SCOPED_TRACE(w.original);
        const fat_item_s* item = qv::test::item_named(*engine, w.name);
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->size, originals[w.original].size());
        EXPECT_EQ(item->attributes & 0x50, 0x40) << "a deleted file";
        EXPECT_EQ(item->modified, file_time);
        if (w.parent.empty()) {
            EXPECT_EQ(item->parent, 0u);
        } else {
            auto parent = items.find(item->parent);
            ASSERT_NE(parent, items.end());
            EXPECT_EQ(qv::test::item_name(parent->second), w.parent);
            EXPECT_EQ(parent->second.has_files, 1) << "folders above a deleted file are marked";
        }
        EXPECT_EQ(qv::test::recover_bytes(*engine, item->cluster, dir.path().string()), originals[w.original]);
    }

    // The deleted folder (its long name back, its short name kept) and both files in it.
    const fat_item_s* gone = qv::test::item_named(*engine, u"Gone");
    ASSERT_NE(gone, nullptr);
    EXPECT_EQ(std::u16string(gone->short_name), u"#ONE");
    EXPECT_EQ(gone->attributes & 0x50, 0x50);
    std::vector<std::vector<uint8_t>> inside;
    for (const fat_item_s* child : gone->children) {
        EXPECT_EQ(qv::test::item_name(*child), u"#.txt");
        EXPECT_EQ(child->under_deleted, 1);
        inside.push_back(qv::test::recover_bytes(*engine, child->cluster, dir.path().string()));
    }
    std::sort(inside.begin(), inside.end(), [](auto& a, auto& b) { return a.size() < b.size(); });
    ASSERT_EQ(inside.size(), 2u);
    EXPECT_EQ(inside[0], originals["/Gone/a.txt"]);
    EXPECT_EQ(inside[1], originals["/Gone/b.txt"]);

    // Live files and empty files are never listed; the root is item 0.
    size_t deleted_files = 0;
    for (const auto& [id, item] : items) {
        if (!(item.attributes & 0x10)) {
            ++deleted_files;
            EXPECT_TRUE(item.attributes & 0x40) << "a live file was listed";
            EXPECT_NE(item.size, 0u);
        }
    }
    EXPECT_EQ(deleted_files, 7u);
    ASSERT_TRUE(items.count(0));
    EXPECT_EQ(items.at(0).attributes, 0x10);
    EXPECT_EQ(engine->items_found(), items.size() - 1);

    // build_item_path walks up to the volume path.
    const fat_item_s* deep = qv::test::item_named(*engine, u"#eep.bin");
    QString path;
    ASSERT_EQ(engine->build_item_path(deep->cluster, &path), 0);
    EXPECT_EQ(path.toStdString(), img + "/Docs/Sub/#eep.bin");

    // sleuthkit sees the same number of deleted files with data.
    if (qv::test::have_tool("fls")) {
        std::string out;
        ASSERT_EQ(run("fls -r -d -l -p " + shell_quote(img), &out), 0);
        std::istringstream lines(out);
        std::string line;
        size_t with_data = 0;
        while (std::getline(lines, line)) {
            if (line.rfind("r/r *", 0) != 0) continue;
            // Long format: ... <tab>size<tab>uid<tab>gid; the size is the fourth field from the end.
            std::vector<std::string> fields;
            std::stringstream f(line);
            for (std::string x; std::getline(f, x, '\t');) fields.push_back(x);
            if (fields.size() >= 4 && fields[fields.size() - 3] != "0") ++with_data;
        }
        EXPECT_EQ(with_data, deleted_files) << out;
    }
}

TEST_P(fat_engine_on_mtools_images, a_fragmented_deleted_file_is_read_from_consecutive_clusters) {
    auto a = qv::test::pseudo_random_bytes(2 * cluster_bytes, 11);
    auto b = qv::test::pseudo_random_bytes(2 * cluster_bytes, 12);
    auto big = qv::test::pseudo_random_bytes(5 * cluster_bytes - 100, 13);
    put("/a.bin", a);
    put("/b.bin", b);
    mtools("mdel", "/a.bin");
    if (GetParam().bits == 32) {
        // Forget the FSInfo "next free cluster" hint, so the next file starts in a's clusters.
        auto bytes = read_file(img);
        size_t fsinfo = size_t(qv::byte_view(bytes.data(), 512).le16(48)) * 512;
        qv::put_le32(bytes.data() + fsinfo + 492, 0xFFFFFFFF);
        qv::test::write_file(img, bytes);
    }
    put("/big.bin", big);  // fills a's two clusters, skips b's, goes on after them
    mtools("mdel", "/big.bin");
    auto engine = qv::test::scan_fat_volume(img);
    const fat_item_s* item = qv::test::item_named(*engine, u"#ig.bin");
    ASSERT_NE(item, nullptr);
    auto got = qv::test::recover_bytes(*engine, item->cluster, dir.path().string());
    ASSERT_EQ(got.size(), big.size());
    size_t head = 2 * cluster_bytes;
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + head, big.begin())) << "the first fragment is exact";
    EXPECT_FALSE(std::equal(got.begin() + head, got.begin() + 2 * head, b.begin()))
        << "the next clusters on disk belong to b.bin, a live file: they are stepped over";
    EXPECT_EQ(got, big) << "read from consecutive free clusters, the whole file comes back";
}

INSTANTIATE_TEST_SUITE_P(types, fat_engine_on_mtools_images,
                         ::testing::Values(fat_case{12, 4096, ""}, fat_case{16, 32768, ""},
                                           fat_case{32, 65536, "-s 1"}),
                         [](const auto& info) { return "FAT" + std::to_string(info.param.bits); });

}  // namespace
