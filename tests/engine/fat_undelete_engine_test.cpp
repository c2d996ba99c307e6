// The FAT engine on mtools images the way a user meets them: whole deleted
// folders over many clusters, long names back, damaged live folders, files
// fragmented around live ones, overwritten files; checked against what was put
// in and against sleuthkit's fls.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "devices/le_bytes.hpp"
#include "fat/fat_reader.hpp"
#include "engine/found_item.hpp"
#include "devices/utf16_text.hpp"
#include "tests/fat/fat_builder.hpp"
#include "tests/fat/fat_image_view.hpp"
#include "tests/engine/fat_scan.hpp"
#include "tests/support/test_support.hpp"

namespace {

using qv::item_state;
using qv::test::run;
using qv::test::shell_quote;

struct layout {
    int bits;
    uint64_t kib;
    int sectors_per_cluster;
};

std::string layout_name(const ::testing::TestParamInfo<layout>& info) {
    return "fat" + std::to_string(info.param.bits) + "_" + std::to_string(info.param.sectors_per_cluster * 512);
}

class undelete_on_mtools_images : public ::testing::TestWithParam<layout> {
protected:
    void SetUp() override {
        for (const char* tool : {"mkfs.fat", "mcopy", "mdel", "mmd", "mdeltree"})
            if (!qv::test::have_tool(tool)) GTEST_SKIP() << tool << " is not installed";
        setenv("LC_ALL", "C.UTF-8", 1);
        const auto& p = GetParam();
        ASSERT_EQ(run("mkfs.fat -C -F " + std::to_string(p.bits) + " -s " + std::to_string(p.sectors_per_cluster) +
                      " " + shell_quote(img) + " " + std::to_string(p.kib) + " >/dev/null"),
                  0);
    }
    // Writes files into a local folder and copies the folder in with one mcopy.
    void put_folder(const std::string& path, const std::map<std::string, std::vector<uint8_t>>& files) {
        std::string local = dir / ("local" + std::to_string(++folders));
        std::filesystem::create_directories(local);
        for (const auto& [name, bytes] : files) {
            qv::test::write_file(local + "/" + name, bytes);
            originals[path + "/" + name] = bytes;
        }
        ASSERT_EQ(run("mmd -i " + shell_quote(img) + " " + shell_quote("::" + path)), 0) << path;
        ASSERT_EQ(run("mcopy -s -i " + shell_quote(img) + " " + shell_quote(local) + "/* " + shell_quote("::" + path)), 0);
    }
    void put(const std::string& path, const std::vector<uint8_t>& bytes) {
        std::string local = dir / "one.bin";
        qv::test::write_file(local, bytes);
        ASSERT_EQ(run("mcopy -i " + shell_quote(img) + " " + shell_quote(local) + " " + shell_quote("::" + path)), 0);
        originals[path] = bytes;
    }
    // mtools on FAT32 starts at the FSInfo sector's next-free hint; without
    // one it takes the first free cluster, as the cases below need.
    void forget_next_free_hint() {
        if (GetParam().bits != 32) return;
        auto bytes = qv::test::read_file(img);
        size_t fsinfo = size_t(qv::byte_view(bytes.data(), 512).le16(48)) * 512;
        for (size_t k = 0; k < 4; ++k) bytes.at(fsinfo + 492 + k) = 0xFF;
        qv::test::write_file(img, bytes);
    }
    void remove(const std::string& tool, const std::string& path) {
        ASSERT_EQ(run(tool + " -i " + shell_quote(img) + " " + shell_quote("::" + path)), 0) << tool << " " << path;
    }
    // Every item by its path from the root ("/Big/photo.jpg").
    std::map<std::string, const fat_item_s*> by_path(const qv::test::fat_scan_run& engine) {
        std::map<std::string, const fat_item_s*> out;
        for (const auto& [id, item] : engine.items()) {
            if (id == 0) continue;
            std::string path;
            const fat_item_s* at = &item;
            for (int depth = 0; at && depth < 300; ++depth) {
                path = "/" + qv::utf8_of(qv::test::item_name(*at).c_str()) + path;
                if (at->parent == 0) break;
                auto it = engine.items().find(at->parent);
                at = it == engine.items().end() ? nullptr : &it->second;
            }
            out[path] = &item;
        }
        return out;
    }
    void expect_back(qv::test::fat_scan_run& engine, const std::map<std::string, const fat_item_s*>& found,
                     const std::string& path, item_state state) {
        auto it = found.find(path);
        ASSERT_NE(it, found.end()) << path << " was not found";
        EXPECT_EQ(item_state(it->second->state), state) << path;
        bool ok = false;
        auto bytes = qv::test::recover_bytes(engine, it->second->cluster, dir.path().string(), &ok);
        EXPECT_TRUE(ok) << path;
        EXPECT_EQ(bytes, originals.at(path)) << path;
    }

    qv::test::temp_dir dir;
    std::string img = dir / "fat.img";
    std::map<std::string, std::vector<uint8_t>> originals;
    int folders = 0;
};

TEST_P(undelete_on_mtools_images, a_whole_deleted_folder_comes_back_under_its_long_names) {
    std::map<std::string, std::vector<uint8_t>> files;
    for (int i = 0; i < 300; ++i) {
        std::string name = "holiday photo " + std::to_string(i) + (i % 3 ? " from the beach.jpg" : ".jpg");
        files[name] = qv::test::pseudo_random_bytes(size_t(i % 7) * 700 + 1, uint32_t(i + 1));
    }
    files["Ünïcode näme.txt"] = qv::test::pseudo_random_bytes(100, 900);
    files["中文文件名.txt"] = qv::test::pseudo_random_bytes(200, 901);
    put_folder("/Big", files);
    std::map<std::string, std::vector<uint8_t>> inner = {{"deep file.bin", qv::test::pseudo_random_bytes(3000, 903)},
                                                         {std::string(255, 'z'), qv::test::pseudo_random_bytes(10, 902)}};
    put_folder("/Big/Nested folder", inner);
    put_folder("/Big/Nested folder/Deeper still", {{"x file.dat", qv::test::pseudo_random_bytes(50, 904)}});
    put("/keep.txt", {'k'});
    remove("mdeltree", "/Big");

    auto engine = qv::test::scan_fat_volume(img);
    auto found = by_path(*engine);
    for (const auto& [path, bytes] : originals) {
        if (path == "/keep.txt") continue;
        expect_back(*engine, found, path, item_state::intact);
    }
    const fat_item_s* big = found.count("/Big") ? found.at("/Big") : nullptr;
    ASSERT_TRUE(big);
    EXPECT_EQ(std::u16string(big->short_name), u"#IG") << "the short name keeps its mark";
    EXPECT_EQ(item_state(big->state), item_state::intact);
}

TEST_P(undelete_on_mtools_images, fls_finds_no_deleted_file_that_the_scan_misses) {
    if (!qv::test::have_tool("fls")) GTEST_SKIP() << "fls is not installed";
    std::map<std::string, std::vector<uint8_t>> files;
    for (int i = 0; i < 80; ++i)
        files["a rather long file name number " + std::to_string(i) + ".txt"] = qv::test::pseudo_random_bytes(900, uint32_t(i));
    put_folder("/Gone", files);
    put_folder("/Live", {{"deleted later.txt", qv::test::pseudo_random_bytes(5000, 7)}, {"stays.txt", {'s'}}});
    remove("mdel", "/Live/deleted later.txt");
    remove("mdeltree", "/Gone");
    auto engine = qv::test::scan_fat_volume(img);
    auto found = by_path(*engine);
    std::string out;
    ASSERT_EQ(run("fls -r -d -p " + shell_quote(img), &out), 0);
    std::istringstream lines(out);
    size_t checked = 0;
    for (std::string line; std::getline(lines, line);) {
        // "r/r * 1234:	Gone/name.txt"
        if (line.rfind("r/r * ", 0) != 0) continue;
        std::string path = "/" + line.substr(line.find('\t') + 1);
        if (!originals.count(path)) continue;  // no data to speak of
        EXPECT_TRUE(found.count(path)) << path << " is listed by fls -r -d but not found";
        ++checked;
    }
    EXPECT_GT(checked, 0u) << out;
    for (const auto& [path, bytes] : originals) {
        if (path != "/Live/stays.txt") {
            EXPECT_TRUE(found.count(path)) << path << " was not found";
        }
    }
}

TEST_P(undelete_on_mtools_images, a_live_folder_whose_chain_was_freed_is_still_read) {
    std::map<std::string, std::vector<uint8_t>> files;
    for (int i = 0; i < 60; ++i)
        files["file with a long name " + std::to_string(i) + ".bin"] = qv::test::pseudo_random_bytes(600, uint32_t(i + 50));
    put_folder("/Live", files);
    remove("mdel", "/Live/file with a long name 7.bin");
    remove("mdel", "/Live/file with a long name 42.bin");
    // Unplugged mid-write: the folder's chain is gone from both FATs.
    qv::test::fat_image_view view;
    ASSERT_TRUE(view.load(img));
    auto root = view.folder(0);
    long at = qv::test::fat_image_view::find_entry(root, "IVE       ");
    ASSERT_GE(at, 0);
    uint32_t first = root[at * 32 + 26] | root[at * 32 + 27] << 8 | (view.bits == 32 ? root[at * 32 + 20] << 16 : 0);
    auto chain_bytes = view.folder(first);
    ASSERT_GT(chain_bytes.size(), view.cluster_bytes) << "the folder spans more than one cluster";
    auto bytes = view.bytes;
    uint64_t fat_size = qv::byte_view(bytes.data(), 512).le16(22) ? qv::byte_view(bytes.data(), 512).le16(22)
                                                                  : qv::byte_view(bytes.data(), 512).le32(36);
    uint64_t fat_start = qv::byte_view(bytes.data(), 512).le16(14) * 512ull;
    for (uint32_t c = first, steps = 0; c >= 2 && c < view.entry_count && steps < 1000; ++steps) {
        uint32_t next = view.fat_entry(c);
        for (int copy = 0; copy < 2; ++copy) {
            uint64_t base = fat_start + copy * fat_size * 512;
            if (view.bits == 12) {
                uint64_t o = base + c + c / 2;
                if (c & 1) bytes[o] &= 0x0F, bytes[o + 1] = 0; else bytes[o] = 0, bytes[o + 1] &= 0xF0;
            } else {
                for (int k = 0; k < view.bits / 8; ++k) bytes[base + uint64_t(c) * (view.bits / 8) + k] = 0;
            }
        }
        if (next < 2 || next >= view.entry_count) break;
        c = next;
    }
    qv::test::write_file(img, bytes);
    auto engine = qv::test::scan_fat_volume(img);
    auto found = by_path(*engine);
    expect_back(*engine, found, "/Live/file with a long name 7.bin", item_state::intact);
    expect_back(*engine, found, "/Live/file with a long name 42.bin", item_state::intact);
}

TEST_P(undelete_on_mtools_images, a_file_fragmented_around_a_live_one_comes_back_whole) {
    uint32_t cb = uint32_t(GetParam().sectors_per_cluster) * 512;
    put("/a.bin", qv::test::pseudo_random_bytes(3 * cb, 1));
    put("/b.bin", qv::test::pseudo_random_bytes(2 * cb, 2));
    put("/c.bin", qv::test::pseudo_random_bytes(3 * cb, 3));
    remove("mdel", "/b.bin");
    forget_next_free_hint();
    // First fit: the new file takes b's entry and its two clusters, then goes
    // on after c. (A long name would leave b's deleted entry in place, and one
    // item per first cluster would show b instead.)
    put("/FRAGMENT.BIN", qv::test::pseudo_random_bytes(5 * cb - 100, 4));
    remove("mdel", "/FRAGMENT.BIN");
    auto engine = qv::test::scan_fat_volume(img);
    auto found = by_path(*engine);
    auto f = found.find("/#RAGMENT.BIN");
    ASSERT_NE(f, found.end());
    qv::test::fat_image_view view;
    ASSERT_TRUE(view.load(img));
    // Only a real gap makes the case.
    ASSERT_NE(view.fat_entry(f->second->cluster + 2), 0u) << "c.bin should lie in the gap";
    EXPECT_EQ(item_state(f->second->state), item_state::assembled);
    bool ok = false;
    EXPECT_EQ(qv::test::recover_bytes(*engine, f->second->cluster, dir.path().string(), &ok),
              originals.at("/FRAGMENT.BIN"));
    EXPECT_TRUE(ok);
}

TEST_P(undelete_on_mtools_images, a_file_whose_first_cluster_was_taken_is_overwritten) {
    uint32_t cb = uint32_t(GetParam().sectors_per_cluster) * 512;
    put("/first file.bin", qv::test::pseudo_random_bytes(2 * cb, 1));
    put("/keep.bin", {'k'});
    qv::test::fat_image_view before;
    ASSERT_TRUE(before.load(img));
    auto root = before.folder(0);
    long at = qv::test::fat_image_view::find_entry(root, "IRSTF~1BIN");
    ASSERT_GE(at, 0);
    uint32_t first = root[at * 32 + 26] | root[at * 32 + 27] << 8 | (before.bits == 32 ? root[at * 32 + 20] << 16 : 0);
    remove("mdel", "/first file.bin");
    forget_next_free_hint();
    put("/NEW.BIN", qv::test::pseudo_random_bytes(cb, 2));
    auto engine = qv::test::scan_fat_volume(img);
    auto it = engine->items().find(first);
    ASSERT_NE(it, engine->items().end());
    EXPECT_TRUE(it->second.attributes & 0x40);
    EXPECT_EQ(item_state(it->second.state), item_state::overwritten);
}

INSTANTIATE_TEST_SUITE_P(layouts, undelete_on_mtools_images,
                         ::testing::Values(layout{12, 4096, 4}, layout{16, 32768, 2}, layout{16, 65536, 8},
                                           layout{32, 66000, 1}, layout{32, 70000, 2}),
                         layout_name);

}  // namespace

namespace {

// Hostile folders built byte by byte: a run of 25 deleted long-name entries of
// one checksum, a full deleted folder followed by random bytes, one followed by
// live data, a looping chain. The scan ends with sane names and states.
TEST(undelete_on_built_images, hostile_runs_and_folders_end_with_sane_results) {
    qv::test::temp_dir dir;
    qv::test::fat_builder b(16, 4200, 1, 64);
    std::string short_name = "LONGRU~1TXT";
    uint8_t sum = qv::fat_short_name_checksum(reinterpret_cast<const uint8_t*>(short_name.data()));
    for (uint32_t i = 0; i < 25; ++i) {
        b.add_entry(0, "LLLLLLLLLLL", 0x0F, 0, 0, true);
        b.entry_at(0, i)[13] = sum;
    }
    b.add_entry(0, short_name, 0x20, 40, 100, true);
    // Every folder starts with its "." and ".." entries, as on any real volume.
    auto folder = [&](const std::string& name11, uint32_t cluster, bool deleted, char letter, uint32_t files) {
        b.add_entry(0, name11, 0x10, cluster, 0, deleted);
        b.add_entry(cluster, ".          ", 0x10, cluster, 0, false);
        b.add_entry(cluster, "..         ", 0x10, 0, 0, false);
        for (uint32_t i = 0; i < files; ++i)
            b.add_entry(cluster, letter + std::to_string(100 + i) + "    BIN", 0x20, cluster + 100 + i, 10, true);
    };
    folder("RANDOM     ", 50, true, 'R', 14);
    b.write_cluster(51, qv::test::pseudo_random_bytes(512, 7));
    folder("SPREAD     ", 80, true, 'S', 14);
    b.set_fat(81, b.end_of_chain());  // live data right after its first cluster
    b.set_fat(120, 121);
    b.set_fat(121, 120);
    folder("LOOP       ", 120, false, 'L', 30);
    std::string img = dir / "hostile.img";
    ASSERT_TRUE(b.save(img));
    auto engine = qv::test::scan_fat_volume(img);
    const fat_item_s* run = qv::test::item_named(*engine, u"#ONGRU~1.TXT");
    ASSERT_TRUE(run) << "a run longer than any name gives none";
    EXPECT_EQ(std::u16string(run->short_name), u"");
    size_t from_random = 0, from_spread = 0, from_loop = 0;
    for (const auto& [id, item] : engine->items()) {
        EXPECT_LE(item.state, uint8_t(item_state::damaged));
        std::u16string name = qv::test::item_name(item);
        if (item.parent == 50) ++from_random;
        if (item.parent == 80) ++from_spread;
        if (item.parent == 120) ++from_loop;
        if (id != 0 && !(item.attributes & 0x10)) qv::test::recover_bytes(*engine, id, dir.path().string());
    }
    EXPECT_EQ(from_random, 14u) << "random bytes after the folder's first cluster are not its entries";
    EXPECT_EQ(from_spread, 14u) << "another folder's first cluster is not this one's";
    EXPECT_EQ(from_loop, 30u) << "the looping chain is read once around";
}

}  // namespace
