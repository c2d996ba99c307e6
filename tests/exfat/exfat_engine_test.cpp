// The exFAT engine over the scan contract: its thread-free core, the window's thread
// adapter and the engine choice, on images made by mkfs.exfat and filled through exfat-fuse.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QString>

#include <filesystem>
#include <map>

#include "devices/device_catalog.hpp"
#include "devices/device_handle.hpp"
#include "engine/engine_choice.hpp"
#include "engine/exfat_core.hpp"
#include "engine/item_paths.hpp"
#include "engine/volume_free_space.hpp"
#include "exfat/exfat_volume.hpp"
#include "tests/exfat/exfat_test_image.hpp"
#include "ui/exfat_recovery.hpp"

using qv::ui::exfat_recovery_c;

namespace fs = std::filesystem;
using namespace qv::test;

namespace {

const std::string unicode_name = "R\xC3\xA9sum\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xB7.pdf";

// One image for every check here, made once.
class ExfatEngine : public testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new temp_dir;
        image_ = *dir_ / "engine.img";
        std::string why;
        if (!make_exfat_image(image_, 48, 4096, &why)) {
            skip_ = why;
            return;
        }
        exfat_mount m;
        if (!m.mount(image_, *dir_ / "mnt", &why)) {
            skip_ = why;
            return;
        }
        fs::create_directories(m / "DCIM/100CAMERA");
        fs::create_directories(m / "Old/Inner");
        write_file(m / "DCIM/100CAMERA/IMG_0001.JPG", pseudo_random_bytes(250000, 1));
        write_file(m / "DCIM/100CAMERA/IMG_0002.JPG", pseudo_random_bytes(180000, 2));
        write_file(m / ("DCIM/" + unicode_name), pseudo_random_bytes(4321, 3));
        write_file(m / "Old/notes.txt", pseudo_random_bytes(1200, 4));
        write_file(m / "Old/Inner/deep.bin", pseudo_random_bytes(70000, 5));
        write_file(m / "live.txt", pseudo_random_bytes(100, 6));
        run("touch -d '2020-02-29 23:59:58 UTC' " + shell_quote(m / "DCIM/100CAMERA/IMG_0001.JPG"));
        fs::remove(m / "DCIM/100CAMERA/IMG_0001.JPG");
        fs::remove(m / ("DCIM/" + unicode_name));
        fs::remove_all(m / "Old");
        if (!m.unmount()) skip_ = "fusermount -u failed";
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override {
        if (!skip_.empty()) GTEST_SKIP() << skip_;
    }
    static std::unique_ptr<qv::device_handle> open_image() {
        std::string error;
        return qv::file_device::open(image_, 0, 0, true, qv::access_mode::read_only, &error);
    }
    static std::map<std::string, const qv::found_item*> by_path(const std::vector<qv::found_item>& items,
                                                                const qv::item_index& index) {
        std::map<std::string, const qv::found_item*> out;
        for (const auto& item : items)
            if (auto p = qv::item_path(index, item.id)) out[*p] = &item;
        return out;
    }

    static inline temp_dir* dir_ = nullptr;
    static inline std::string image_;
    static inline std::string skip_;
};

struct expected_file {
    const char* path;
    size_t size;
    uint32_t seed;
};

const expected_file deleted_files[] = {
    {"/DCIM/100CAMERA/IMG_0001.JPG", 250000, 1},
    {"/Old/notes.txt", 1200, 4},
    {"/Old/Inner/deep.bin", 70000, 5},
};

TEST_F(ExfatEngine, CoreScansAndRecoversDeletedFilesAndFolders) {
    qv::exfat_core core;
    qv::scan_token token;
    std::vector<qv::found_item> seen;
    qv::scan_hooks hooks;
    hooks.token = &token;
    hooks.found = [&](const qv::found_item& item) { seen.push_back(item); };
    qv::exfat_scan_result result = core.scan(open_image(), hooks);
    ASSERT_EQ(result.open_error, 0);
    EXPECT_EQ(seen.size(), result.items.size());
    EXPECT_EQ(token.items.load(), result.items.size());
    EXPECT_DOUBLE_EQ(token.progress.load(), 1.0);
    EXPECT_GT(token.entries.load(), result.items.size());

    qv::item_index index(result.items);
    auto items = by_path(result.items, index);
    for (const auto& f : deleted_files) {
        SCOPED_TRACE(f.path);
        ASSERT_TRUE(items.count(f.path));
        const qv::found_item& item = *items[f.path];
        EXPECT_TRUE(item.deleted);
        EXPECT_FALSE(item.directory);
        EXPECT_FALSE(item.doubtful);
        EXPECT_EQ(item.size, f.size);
        EXPECT_EQ(item.state, qv::item_state::intact);
        const std::string out = *dir_ / "out.bin";
        ASSERT_EQ(core.recover(item, out), 0);
        EXPECT_EQ(read_file(out), pseudo_random_bytes(f.size, f.seed));
    }
    // The unicode name comes back whole, in UTF-8.
    ASSERT_TRUE(items.count("/DCIM/" + unicode_name));
    EXPECT_EQ(items["/DCIM/" + unicode_name]->size, 4321u);

    // Folders: live ones hold the tree; the deleted one is marked so.
    ASSERT_TRUE(items.count("/DCIM") && items.count("/DCIM/100CAMERA") && items.count("/Old"));
    EXPECT_FALSE(items["/DCIM"]->deleted);
    EXPECT_TRUE(items["/DCIM"]->directory);
    EXPECT_TRUE(items["/Old"]->deleted);
    EXPECT_TRUE(items["/Old/Inner"]->directory);
    EXPECT_EQ(items["/Old"]->attributes & qv::exfat_attribute_directory, qv::exfat_attribute_directory);
    EXPECT_FALSE(items.count("/live.txt"));
    EXPECT_FALSE(items.count("/DCIM/100CAMERA/IMG_0002.JPG"));

    // The original time, on the item and on the recovered file.
    const qv::found_item& photo = *items["/DCIM/100CAMERA/IMG_0001.JPG"];
    EXPECT_EQ(photo.modified, 1583020798);
    const std::string out = *dir_ / "photo.jpg";
    ASSERT_EQ(core.recover(photo, out), 0);
    struct stat st {};
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1583020798);

    // Folders and unknown ids are not files to recover; nothing is written.
    EXPECT_NE(core.recover(*items["/Old"], *dir_ / "folder.out"), 0);
    EXPECT_EQ(core.recover(999999999, *dir_ / "none.out"), qv::exfat_core::recover_unknown_item);
    EXPECT_FALSE(fs::exists(*dir_ / "folder.out"));
    EXPECT_FALSE(fs::exists(*dir_ / "none.out"));

    // The folder tree shows the deleted files under their folders.
    qv::folder_tree tree = qv::build_folder_tree(result.items);
    EXPECT_TRUE(tree.has_results());
}

TEST_F(ExfatEngine, StopBeforeTheFirstFolderGivesAnEmptyResult) {
    qv::exfat_core core;
    qv::scan_token token;
    token.request_stop(qv::stop_reason::user_stopped);
    qv::scan_hooks hooks;
    hooks.token = &token;
    qv::exfat_scan_result result = core.scan(open_image(), hooks);
    EXPECT_EQ(result.open_error, 0);
    EXPECT_TRUE(result.items.empty());
    EXPECT_LT(token.progress.load(), 1.0);
}

TEST_F(ExfatEngine, NoVolumeGivesAnOpenError) {
    qv::exfat_core core;
    auto zeros = std::make_unique<qv::memory_device>(std::vector<uint8_t>(1 << 20, 0));
    qv::exfat_scan_result result = core.scan(std::move(zeros), {});
    EXPECT_NE(result.open_error, 0);
    EXPECT_TRUE(result.items.empty());
    EXPECT_EQ(core.recover(1, *dir_ / "x"), qv::exfat_core::recover_unknown_item);
}

TEST_F(ExfatEngine, VolumeListCountsTheFreeSpaceOfAnUnmountedVolume) {
    auto direct = open_image();
    ASSERT_TRUE(direct);
    auto want = qv::exfat::free_bytes(*direct);
    ASSERT_TRUE(want.has_value());
    auto listed = qv::file_system_free_bytes(open_image(), "exFAT");
    ASSERT_TRUE(listed.has_value());
    EXPECT_EQ(*listed, *want);
    EXPECT_GT(*listed, 0u);
}

TEST_F(ExfatEngine, WindowAdapterRunsTheCoreOnItsThread) {
    auto& catalog = qv::device_catalog::shared();
    catalog.set_block_devices_enabled(false);
    volume_item_s v;
    v.device_name = v.volume_name = QString::fromStdString(image_);
    v.file_system = "exFAT";
    v.mount_path = "/media/card";
    v.disk_number = catalog.open_image(image_);
    v.partition_number = 0;

    exfat_recovery_c engine;
    engine.reset();
    engine.set_volume(v);
    engine.start();
    ASSERT_TRUE(engine.wait(120000));
    EXPECT_EQ(engine.problems().end, qv::read_end::complete) << "the volume opened and was read to its end";
    const auto& items = engine.found_items();
    EXPECT_EQ(engine.items_found(), items.size());
    const qv::found_item* deep = nullptr;
    for (const auto& item : items)
        if (item.name == "deep.bin") deep = &item;
    ASSERT_NE(deep, nullptr);
    QString path;
    ASSERT_EQ(engine.build_item_path(deep->id, &path), 0);
    EXPECT_EQ(path, "/media/card/Old/Inner/deep.bin");
    const std::string out = *dir_ / "adapter.bin";
    ASSERT_EQ(engine.recover_file(deep->id, QString::fromStdString(out)), 0);
    EXPECT_EQ(read_file(out), pseudo_random_bytes(70000, 5));
}

TEST(ExfatEngineChoice, ExfatVolumesGetTheExfatEngine) {
    EXPECT_EQ(qv::choose_engine("exFAT", false), engine_kind_exfat);
    EXPECT_EQ(qv::choose_engine("exFAT", true), engine_kind_deep);
    EXPECT_EQ(qv::engine_name(engine_kind_exfat), "exfat");
    EXPECT_EQ(qv::choose_engine("exfat", false), engine_kind_none);
}

}  // namespace
