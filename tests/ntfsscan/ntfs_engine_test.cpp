// The NTFS engine over the library: what it keeps, how it links and marks the
// tree, paths, recovery, start-up failure, pause and stop.

#include <gtest/gtest.h>

#include <QRegularExpression>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "devices/device_catalog.hpp"
#include "engine/item_paths.hpp"
#include "engine/ntfs_core.hpp"
#include "tests/ntfsscan/ntfs_shared_image.hpp"
#include "tests/ntfsscan/ntfs_test_image.hpp"
#include "ui/ntfs_recovery.hpp"

using qv::ntfs_flag_deleted;
using qv::ntfs_flag_directory;
using qv::ntfs_flag_file;
using qv::ntfs_last_metadata_id;

using namespace qv::test;

namespace {

// A volume record for an image opened as a whole drive in the catalog.
volume_item_s volume_for(const std::string& image, const QString& mount = "/") {
    auto& catalog = qv::device_catalog::shared();
    catalog.set_block_devices_enabled(false);
    volume_item_s v;
    v.device_name = v.volume_name = QString::fromStdString(image);
    v.file_system = "NTFS";
    v.mount_path = mount;
    v.disk_number = catalog.open_image(image);
    v.partition_number = 0;
    return v;
}

void run_scan(ntfs_recovery_c& engine, const volume_item_s& v) {
    engine.reset();
    engine.set_volume(v);
    engine.start();
    ASSERT_TRUE(engine.wait(120000));
}

// The item whose path (on a volume mounted at "/") is "/" + path.
const qv::found_item* by_path(ntfs_recovery_c& engine, const std::string& path, const std::string& mount = "") {
    for (const qv::found_item& item : engine.found_items()) {
        QString p;
        if (engine.build_item_path(item.id, &p) == 0 && p.toStdString() == mount + "/" + path) return &item;
    }
    return nullptr;
}

// The found item with this record number, or null.
const qv::found_item* item_of(ntfs_recovery_c& engine, uint64_t id) {
    for (const qv::found_item& item : engine.found_items())
        if (item.id == id) return &item;
    return nullptr;
}

// True when the window's folder tree shows record id as a folder (a file lies below it).
bool shown_as_folder(ntfs_recovery_c& engine, uint64_t id) {
    const qv::folder_tree tree = qv::build_folder_tree(engine.found_items());
    for (const qv::folder_node& node : tree.nodes)
        if (node.item && node.item->id == id) return true;
    return false;
}

// The items filed directly in folder id.
std::vector<const qv::found_item*> children_of(ntfs_recovery_c& engine, uint64_t id) {
    std::vector<const qv::found_item*> out;
    for (const qv::found_item& item : engine.found_items())
        if (item.parent == id && item.id != id) out.push_back(&item);
    return out;
}

class NtfsEngine : public ::testing::Test {
protected:
    void SetUp() override {
        if (!shared_image().ok) GTEST_SKIP() << shared_image().why;
    }
    void TearDown() override { qv::device_catalog::shared().close_images(); }
};

TEST(NtfsEngineName, DeviceNameFromDiskAndPartition) {
    EXPECT_EQ(ntfs_recovery_c::device_name(0, 1), "/dev/hda1");
    EXPECT_EQ(ntfs_recovery_c::device_name(1, 1), "/dev/hdb1");
    EXPECT_EQ(ntfs_recovery_c::device_name(2, 3), "/dev/hdc3");
    EXPECT_EQ(ntfs_recovery_c::device_name(25, 0), "/dev/hdz0");
}

TEST(NtfsEngineLog, StartupFailureIsLoggedAndLeavesNothing) {
    temp_dir dir;
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(dir.path().string()));
    ASSERT_TRUE(ntfs_recovery_c::log_path().startsWith(QString::fromStdString(dir.path().string())));

    testing::internal::CaptureStderr();
    ntfs_recovery_c::log_startup_failure(-5);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "ERROR: [ntfs_recovery:105] ntfs_scan_startup failed with return value (-5)\n");

    auto log = read_file(ntfs_recovery_c::log_path().toStdString());
    QString line = QString::fromUtf8(reinterpret_cast<const char*>(log.data()), qsizetype(log.size()));
    QRegularExpression form(
        R"(^\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}  \[ntfs_recovery:105\] )"
        R"(ntfs_scan_startup failed with return value \(-5\)\n$)");
    EXPECT_TRUE(form.match(line).hasMatch()) << line.toStdString();

    // A scan of a drive that does not exist: one more line, nothing filed.
    qv::device_catalog::shared().set_block_devices_enabled(false);
    ntfs_recovery_c engine;
    volume_item_s v;
    v.disk_number = 25;
    v.partition_number = 7;
    testing::internal::CaptureStderr();
    run_scan(engine, v);
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ntfs_scan_startup failed with return value (-1)"), std::string::npos);
    log = read_file(ntfs_recovery_c::log_path().toStdString());
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2);
    EXPECT_TRUE(engine.found_items().empty());
    EXPECT_EQ(engine.entries_read(), 0u);
    EXPECT_EQ(engine.items_found(), 0u);
    qunsetenv("XDG_DATA_HOME");
}

TEST_F(NtfsEngine, KeepsDirectoriesAndDeletedFilesOnly) {
    const auto& s = shared_image();
    ntfs_recovery_c engine;
    run_scan(engine, volume_for(s.image));

    scoped_context ctx;
    ASSERT_EQ(ntfs_scan_startup(ntfs_recovery_c::device_name(volume_for(s.image).disk_number, 0), &ctx.context), 0);
    auto delivered = scan_all(ctx.context);
    EXPECT_EQ(engine.entries_read(), delivered.size());
    EXPECT_GT(engine.progress(), 0.99);

    size_t live_files = 0;
    for (const auto& r : delivered) {
        if (r.id <= ntfs_last_metadata_id) continue;  // the volume's own files are never rows
        bool kept = item_of(engine, r.id) != nullptr;
        bool live_file = (r.flags & ntfs_flag_file) && !(r.flags & ntfs_flag_deleted);
        EXPECT_EQ(kept, !live_file) << utf8(r.name);
        live_files += live_file;
    }
    EXPECT_GT(live_files, s.bulk_files);
    for (const auto& [path, bytes] : s.live) EXPECT_EQ(by_path(engine, path), nullptr) << path;
    for (const auto& [path, bytes] : s.deleted) EXPECT_NE(by_path(engine, path), nullptr) << path;

    // The folder tree: folders with a file below them, the live folder's flags.
    const qv::found_item* olddir = by_path(engine, "olddir");
    const qv::found_item* sub = by_path(engine, "olddir/sub");
    const qv::found_item* livedir = by_path(engine, "livedir");
    const qv::found_item* bulk = by_path(engine, "bulk");
    ASSERT_TRUE(olddir && sub && livedir && bulk);
    EXPECT_TRUE(qv::build_folder_tree(engine.found_items()).has_results());
    EXPECT_TRUE(shown_as_folder(engine, olddir->id));
    EXPECT_TRUE(shown_as_folder(engine, sub->id));
    EXPECT_TRUE(shown_as_folder(engine, livedir->id));
    EXPECT_FALSE(shown_as_folder(engine, bulk->id)) << "only live files below it";
    EXPECT_EQ(livedir->attributes, ntfs_flag_directory);
    EXPECT_EQ(olddir->parent, 0u) << "found items name the root 0";
    const auto in_sub = children_of(engine, sub->id);
    ASSERT_EQ(in_sub.size(), 1u);
    EXPECT_EQ(in_sub[0]->name, "b.bin");
    EXPECT_TRUE(children_of(engine, bulk->id).empty());
}

TEST_F(NtfsEngine, PathsAndRecovery) {
    const auto& s = shared_image();
    ntfs_recovery_c engine;
    run_scan(engine, volume_for(s.image, "/mnt/vol/"));
    const qv::found_item* b = nullptr;
    const qv::found_item* small = nullptr;
    for (const qv::found_item& item : engine.found_items()) {
        if (item.name == "b.bin") b = &item;
        if (item.name == "small.txt") small = &item;
    }
    ASSERT_TRUE(b && small);
    QString path;
    ASSERT_EQ(engine.build_item_path(b->id, &path), 0);
    EXPECT_EQ(path, "/mnt/vol/olddir/sub/b.bin");
    ASSERT_EQ(engine.build_item_path(small->id, &path), 0);
    EXPECT_EQ(path, "/mnt/vol/small.txt");
    EXPECT_EQ(engine.build_item_path(1ull << 40, &path), -1);

    temp_dir out;
    QString dest = QString::fromStdString(out / "b.bin");
    write_file(out / "b.bin", std::vector<uint8_t>(10, 1));
    ASSERT_EQ(engine.recover_file(b->id, dest), 0);
    EXPECT_TRUE(read_file(out / "b.bin") == s.deleted.at("olddir/sub/b.bin"));
    // A failure still removes what stood at the destination, and leaves nothing.
    const qv::found_item* olddir = by_path(engine, "olddir", "/mnt/vol");
    ASSERT_NE(olddir, nullptr);
    EXPECT_LT(engine.recover_file(olddir->id, dest), 0);
    EXPECT_FALSE(std::filesystem::exists(out / "b.bin"));
    // The image being scanned is never removed or replaced.
    EXPECT_LT(engine.recover_file(small->id, QString::fromStdString(s.image)), 0);
    EXPECT_TRUE(std::filesystem::exists(s.image));
}

// An engine whose scans start paused: run() clears the pause as a scan
// begins, and this sets it again right after, before the walk reads a record.
// (Setting it from the test's thread while the walk runs loses the race on a
// busy machine, where the walk can finish before that thread runs again.)
class held_ntfs_engine : public ntfs_recovery_c {
public:
    void reset() override {
        ntfs_recovery_c::reset();
        if (hold) set_paused(1);
    }
    bool hold = true;  // set before start(), which the scanning thread follows
};

// Starts a held scan: the records read by the time it stood still.
uint64_t start_held(held_ntfs_engine& engine, const volume_item_s& v) {
    engine.reset();
    engine.set_volume(v);
    engine.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return engine.entries_read();
}

TEST_F(NtfsEngine, PauseHoldsTheWalkAndStopEndsItWithLinks) {
    const auto& s = shared_image();
    volume_item_s v = volume_for(s.image);
    held_ntfs_engine engine;
    const uint64_t held = start_held(engine, v);
    ASSERT_FALSE(engine.isFinished()) << "the walk went on while paused";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(engine.entries_read(), held);
    EXPECT_EQ(engine.is_paused(), 1);
    EXPECT_FALSE(engine.isFinished());

    auto t0 = std::chrono::steady_clock::now();
    engine.set_stop(qv::stop_reason::user_stopped);
    ASSERT_TRUE(engine.wait(10000));
    auto waited = std::chrono::steady_clock::now() - t0;
    std::cout << "stopped " << held << " records in, "
              << std::chrono::duration_cast<std::chrono::milliseconds>(waited).count() << " ms after the stop\n";
    EXPECT_EQ(engine.stop_state(), qv::stop_reason::user_stopped);
    EXPECT_EQ(engine.entries_read(), held);
    EXPECT_LE(engine.found_items().size(), engine.items_found()) << "what was kept before the stop";

    engine.hold = false;
    engine.reset();
    EXPECT_TRUE(engine.found_items().empty());
    EXPECT_EQ(engine.entries_read(), 0u);
    EXPECT_EQ(engine.stop_state(), qv::stop_reason::running);
}

TEST_F(NtfsEngine, ResumedWalkEndsComplete) {
    const auto& s = shared_image();
    volume_item_s v = volume_for(s.image);
    ntfs_recovery_c full;
    run_scan(full, v);

    held_ntfs_engine engine;
    const uint64_t held = start_held(engine, v);
    ASSERT_FALSE(engine.isFinished()) << "the walk went on while paused";
    EXPECT_LT(held, full.entries_read());
    engine.set_paused(0);
    ASSERT_TRUE(engine.wait(60000));
    EXPECT_EQ(engine.entries_read(), full.entries_read());
    EXPECT_EQ(engine.items_found(), full.items_found());
    EXPECT_EQ(engine.found_items().size(), full.found_items().size());
}

TEST_F(NtfsEngine, SecondScanStartsAfresh) {
    const auto& s = shared_image();
    ntfs_recovery_c engine;
    volume_item_s v = volume_for(s.image);
    run_scan(engine, v);
    size_t first = engine.found_items().size();
    uint64_t entries = engine.entries_read();
    run_scan(engine, v);
    EXPECT_EQ(engine.found_items().size(), first);
    EXPECT_EQ(engine.entries_read(), entries);
    const qv::found_item* small = by_path(engine, "small.txt");
    ASSERT_NE(small, nullptr);
    temp_dir out;
    ASSERT_EQ(engine.recover_file(small->id, QString::fromStdString(out / "s")), 0);
    EXPECT_TRUE(read_file(out / "s") == s.deleted.at("small.txt"));
}

// Hand-built folders whose parents form a loop, and a file whose folder is gone.
TEST(NtfsEngineHostile, ParentLoopsAndMissingParents) {
    temp_dir dir;
    std::string image = dir / "loop.img", why;
    if (!make_ntfs_image(image, 16u << 20, &why)) GTEST_SKIP() << why;
    auto bytes = read_file(image);
    ntfs_facts f = read_facts(bytes);
    auto si = resident_attribute(0x10, standard_information(filetime(1600000000), filetime(1600000000)), 0);
    auto name = [](const std::u16string& n, uint64_t parent) {
        // The root's sequence number is 5; the hand-built records keep 1.
        return resident_attribute(0x30, file_name(parent, n, 1, parent == 5 ? 5 : 1), 1);
    };
    auto data = resident_attribute(0x80, {'d'}, 2);
    auto put = [&](uint64_t n, uint16_t flags, const std::vector<std::vector<uint8_t>>& attrs) {
        auto r = build_record(1024, n, flags, 0, attrs);
        std::copy(r.begin(), r.end(), bytes.begin() + long(f.mft_offset + n * f.record_size));
    };
    put(16, 0x02, {si, name(u"loopA", 17)});      // deleted folders, each the other's parent
    put(17, 0x02, {si, name(u"loopB", 16)});
    put(18, 0x00, {si, name(u"inloop.txt", 16), data});
    put(19, 0x00, {si, name(u"lost.txt", 1000), data});
    put(20, 0x02, {si, name(u"selfish", 20)});    // its own parent
    put(21, 0x00, {si, name(u"top.txt", 5), data});
    write_file(image, bytes);

    ntfs_recovery_c engine;
    run_scan(engine, volume_for(image));
    // The six records and the folder for lost files (the root and $Extend are the volume's own).
    ASSERT_EQ(engine.found_items().size(), 6u + 1u);
    QString path;
    EXPECT_EQ(engine.build_item_path(18, &path), -1);
    EXPECT_EQ(engine.build_item_path(16, &path), -1);
    // The file whose folder is gone is shown under the folder for lost files.
    ASSERT_EQ(engine.build_item_path(19, &path), 0);
    EXPECT_EQ(path, "/Lost files/lost.txt");
    EXPECT_EQ(engine.build_item_path(20, &path), -1);
    ASSERT_EQ(engine.build_item_path(21, &path), 0);
    EXPECT_EQ(path, "/top.txt");
    // Folders in a loop or their own parent hang from no root: no folder of the tree.
    EXPECT_FALSE(shown_as_folder(engine, 16));
    EXPECT_FALSE(shown_as_folder(engine, 20));
    EXPECT_TRUE(children_of(engine, 20).empty());
    qv::device_catalog::shared().close_images();
}

}  // namespace
