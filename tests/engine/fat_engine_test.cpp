// The FAT engine on images made by mkfs.fat and filled and emptied with mtools.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "devices/le_bytes.hpp"
#include "engine/fat_core.hpp"
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
            EXPECT_TRUE(engine->shown_as_folder(item->parent)) << "folders above a deleted file are shown";
        }
        EXPECT_EQ(qv::test::recover_bytes(*engine, item->cluster, dir.path().string()), originals[w.original]);
    }

    // The deleted folder (its long name back, its short name kept) and both files in it.
    const fat_item_s* gone = qv::test::item_named(*engine, u"Gone");
    ASSERT_NE(gone, nullptr);
    EXPECT_EQ(std::u16string(gone->short_name), u"#ONE");
    EXPECT_EQ(gone->attributes & 0x50, 0x50);
    std::vector<std::vector<uint8_t>> inside;
    for (const fat_item_s* child : engine->children_of(gone->cluster)) {
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

// Where a FAT's copies lie in an image, and how its entries are written.
struct fat_tables {
    uint64_t first = 0;  // byte offset of the first copy
    uint64_t bytes = 0;  // of one copy
    int copies = 0;
    int bits = 0;

    explicit fat_tables(const std::vector<uint8_t>& image, int fat_bits) : bits(fat_bits) {
        qv::byte_view bs(image.data(), 512);
        uint64_t per_fat = bs.le16(22) ? bs.le16(22) : bs.le32(36);
        first = uint64_t(bs.le16(14)) * 512;
        bytes = per_fat * 512;
        copies = bs.u8(16);
    }
    void set(std::vector<uint8_t>& image, int copy, uint32_t cluster, uint32_t value) const {
        uint8_t* t = image.data() + first + uint64_t(copy) * bytes;
        if (bits == 32) {
            qv::put_le32(t + cluster * 4, (qv::byte_view(t, bytes).le32(cluster * 4) & 0xF0000000) | value);
        } else if (bits == 16) {
            qv::put_le16(t + cluster * 2, uint16_t(value));
        } else {
            size_t at = cluster + cluster / 2;
            uint16_t pair = qv::byte_view(t, bytes).le16(at);
            pair = (cluster & 1) ? uint16_t((pair & 0x000F) | (value << 4)) : uint16_t((pair & 0xF000) | value);
            qv::put_le16(t + at, pair);
        }
    }
};

TEST_P(fat_engine_on_mtools_images, deleted_files_are_found_in_folders_the_fat_no_longer_describes) {
    auto random = [](size_t n, uint32_t seed) { return qv::test::pseudo_random_bytes(n, seed); };
    // Keep's entries fill more than one cluster, with Inner's cluster between them.
    mtools("mmd", "/Keep");
    for (int i = 1; i <= 10; ++i) put("/Keep/first" + std::to_string(i) + ".bin", random(1500, 20 + i));
    mtools("mmd", "/Keep/Inner");
    for (int i = 1; i <= 40; ++i) put("/Keep/later" + std::to_string(i) + ".bin", random(900 + i, 40 + i));
    put("/Keep/Inner/three.bin", random(700, 23));
    put("/Keep/Inner/four.bin", random(5000, 24));
    mtools("mdel", "/Keep/first3.bin");
    mtools("mdel", "/Keep/later35.bin");
    mtools("mdel", "/Keep/Inner/three.bin");
    const std::vector<uint8_t> clean = read_file(img);
    uint32_t keep = 0, inner = 0;
    {
        auto engine = qv::test::scan_fat_volume(img);
        ASSERT_NE(qv::test::item_named(*engine, u"Keep"), nullptr);
        keep = qv::test::item_named(*engine, u"Keep")->cluster;
        inner = qv::test::item_named(*engine, u"Inner")->cluster;
    }
    const fat_tables fats(clean, GetParam().bits);
    ASSERT_EQ(fats.copies, 2);

    struct damage {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> apply;
    } rows[] = {
        {"the first FAT zeroed", [&](auto& b) { std::fill_n(b.begin() + fats.first, fats.bytes, 0); }},
        {"the first FAT overwritten with other data",
         [&](auto& b) {
             auto noise = random(fats.bytes, 25);
             std::copy(noise.begin(), noise.end(), b.begin() + fats.first);
         }},
        {"the live folder's first cluster marked free in both FATs",
         [&](auto& b) {
             for (int copy = 0; copy < 2; ++copy) fats.set(b, copy, keep, 0);
         }},
        {"both live folders' first clusters marked free in both FATs",
         [&](auto& b) {
             for (int copy = 0; copy < 2; ++copy) {
                 fats.set(b, copy, keep, 0);
                 fats.set(b, copy, inner, 0);
             }
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<uint8_t> image = clean;
        row.apply(image);
        qv::test::write_file(img, image);
        auto engine = qv::test::scan_fat_volume(img);
        const auto& items = engine->items();
        struct want {
            std::u16string name;
            const char* original;
            uint32_t parent;
        } files[] = {{u"#irst3.bin", "/Keep/first3.bin", keep},
                     {u"#ater35.bin", "/Keep/later35.bin", keep},
                     {u"#hree.bin", "/Keep/Inner/three.bin", inner}};
        for (const auto& w : files) {
            SCOPED_TRACE(w.original);
            const fat_item_s* item = qv::test::item_named(*engine, w.name);
            if (!item) {
                ADD_FAILURE() << "the deleted file in the folder is not listed";
                continue;
            }
            EXPECT_EQ(item->parent, w.parent);
            ASSERT_TRUE(items.count(w.parent));
            EXPECT_TRUE(engine->shown_as_folder(w.parent));
            EXPECT_EQ(qv::test::recover_bytes(*engine, item->cluster, dir.path().string()), originals[w.original]);
        }
        // Live files stay unlisted.
        EXPECT_EQ(qv::test::item_named(*engine, u"first4.bin"), nullptr);
        EXPECT_EQ(qv::test::item_named(*engine, u"four.bin"), nullptr);
    }
}

TEST_P(fat_engine_on_mtools_images, files_in_a_deleted_folders_far_later_cluster_are_listed) {
    if (GetParam().bits != 32) GTEST_SKIP() << "needs clusters of one sector on a volume large enough";
    auto random = [](size_t n, uint32_t seed) { return qv::test::pseudo_random_bytes(n, seed); };
    auto name = [](char letter, int i) { return std::string(1, letter) + (i < 10 ? "0" : "") + std::to_string(i) + ".BIN"; };
    mtools("mmd", "/FAR");
    mtools("mmd", "/LOST");
    // "." and ".." and 14 files fill each folder's first cluster (16 entries of 32 bytes).
    for (int i = 1; i <= 14; ++i) {
        put("/FAR/" + name('A', i), random(100 + i, 100 + i));
        put("/LOST/" + name('B', i), random(200 + i, 200 + i));
    }
    // More clusters of other data than a folder's next cluster is looked for ahead.
    put("/FILLER.BIN", random(20000 * cluster_bytes, 1));
    for (int i = 1; i <= 5; ++i) put("/FAR/LATE" + std::to_string(i) + ".BIN", random(300 + i, 300 + i));
    mtools("mmd", "/FAR/SUB");
    put("/FAR/SUB/INSIDE.BIN", random(777, 2));
    for (int i = 1; i <= 5; ++i) put("/LOST/MORE" + std::to_string(i) + ".BIN", random(400 + i, 400 + i));
    mtools("mdeltree", "/FAR");
    mtools("mdeltree", "/LOST");
    mtools("mdel", "/FILLER.BIN");

    auto engine = qv::test::scan_fat_volume(img);
    const auto& items = engine->items();
    const fat_item_s* far = qv::test::item_named(*engine, u"#AR");
    ASSERT_NE(far, nullptr);
    const fat_item_s* sub = qv::test::item_named(*engine, u"#UB");
    ASSERT_NE(sub, nullptr);
    auto check = [&](const std::string& path, const std::u16string& listed, uint32_t parent) {
        SCOPED_TRACE(path);
        const fat_item_s* item = qv::test::item_named(*engine, listed);
        ASSERT_NE(item, nullptr) << "listed";
        EXPECT_EQ(item->parent, parent);
        EXPECT_EQ(qv::test::recover_bytes(*engine, item->cluster, dir.path().string()), originals[path]);
    };
    for (int i = 1; i <= 5; ++i) {
        // The later cluster names a sub-folder whose ".." names FAR: its files are FAR's.
        std::u16string digit(1, char16_t(u'0' + i));
        check("/FAR/LATE" + std::to_string(i) + ".BIN", u"#ATE" + digit + u".BIN", far->cluster);
        // Nothing in LOST's later cluster says whose it is.
        check("/LOST/MORE" + std::to_string(i) + ".BIN", u"#ORE" + digit + u".BIN", qv::fat_lost_files_id);
    }
    EXPECT_EQ(sub->parent, far->cluster);
    check("/FAR/SUB/INSIDE.BIN", u"#NSIDE.BIN", sub->cluster);
    ASSERT_TRUE(items.count(qv::fat_lost_files_id));
    const fat_item_s& lost = items.at(qv::fat_lost_files_id);
    EXPECT_EQ(qv::test::item_name(lost), u"Lost files");
    EXPECT_EQ(lost.parent, 0u);
    EXPECT_TRUE(engine->shown_as_folder(qv::fat_lost_files_id));
    EXPECT_EQ(engine->children_of(qv::fat_lost_files_id).size(), 5u);
    {
        // In the window the folder takes the user's language.
        auto german = qv::test::scan_fat_volume(img, "Verlorene Dateien");
        ASSERT_TRUE(german->items().count(qv::fat_lost_files_id));
        EXPECT_EQ(qv::test::item_name(german->items().at(qv::fat_lost_files_id)), u"Verlorene Dateien");
        EXPECT_EQ(german->children_of(qv::fat_lost_files_id).size(), 5u);
    }

    // sleuthkit lists as many deleted files (some as orphan files).
    if (qv::test::have_tool("fls")) {
        std::string out;
        ASSERT_EQ(run("fls -r -d " + shell_quote(img), &out), 0);
        std::istringstream lines(out);
        size_t listed_by_fls = 0;
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("r/r *", 0) == 0 || line.rfind("-/r *", 0) == 0) ++listed_by_fls;
        size_t listed = 0;
        for (const auto& [id, item] : items)
            if (!(item.attributes & 0x10)) ++listed;
        EXPECT_EQ(listed, listed_by_fls) << out;
    }
}

INSTANTIATE_TEST_SUITE_P(types, fat_engine_on_mtools_images,
                         ::testing::Values(fat_case{12, 4096, ""}, fat_case{16, 32768, ""},
                                           fat_case{32, 65536, "-s 1"}),
                         [](const auto& info) { return "FAT" + std::to_string(info.param.bits); });

}  // namespace
