// Work that runs on one thread while another watches or steers it, for the
// ThreadSanitizer build: the recovery worker with its counters read meanwhile,
// the partition search stopped from outside, and the media check marking a
// drive gone while a scan reads another one.

#include <gtest/gtest.h>

#include <QDir>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "devices/device_catalog.hpp"
#include "devices/device_handle.hpp"
#include "engine/sector_device.hpp"
#include "fat/fat_reader.hpp"
#include "partition/partition_search.hpp"
#include "tests/engine/fat_scan.hpp"
#include "tests/fat/fat_builder.hpp"
#include "tests/support/test_support.hpp"
#include "ui/fat_recovery.hpp"
#include "ui/recovery_item.hpp"
#include "ui/recovery_worker.hpp"

using qv::check_media;
using qv::close_physical_drives;

using namespace std::chrono_literals;
using namespace qv::test;

namespace {

// A FAT16 volume whose root holds `files` deleted files of known bytes.
std::vector<std::vector<uint8_t>> build_deleted_files(const std::string& img, uint32_t files) {
    fat_builder b(16, 5000);
    std::vector<std::vector<uint8_t>> contents;
    for (uint32_t i = 0; i < files; ++i) {
        auto bytes = pseudo_random_bytes(900 + i * 37, i);
        uint32_t cluster = 10 + i * 4;
        b.write_cluster(cluster, bytes);
        b.add_entry(0, "F" + std::to_string(1000 + i) + "   BIN", 0x20, cluster, uint32_t(bytes.size()), true);
        contents.push_back(bytes);
    }
    EXPECT_TRUE(b.save(img));
    return contents;
}

TEST(threads, recovery_worker_runs_while_the_interface_reads_its_counters) {
    temp_dir dir;
    std::string img = dir / "fat.img";
    auto contents = build_deleted_files(img, 24);
    auto engine = scan_fat_window(img);
    QList<recovery_item_s> rows;
    for (const qv::found_item& item : engine->found_items()) {
        if (item.directory || !item.deleted) continue;
        recovery_item_s row;
        row.name = QString::fromStdString(item.name);
        row.size = item.size;
        row.id = item.id;
        row.attributes = item.attributes;
        row.ticked = 1;
        rows.append(row);
    }
    ASSERT_EQ(rows.size(), 24);
    QDir out(QString::fromStdString(dir / "out"));
    ASSERT_TRUE(out.mkpath("."));

    recovery_file_c worker;
    worker.set_job(engine.get(), out, rows);
    worker.start();
    int seen = 0;
    while (!worker.wait(1)) seen = std::max(seen, worker.recovered() + worker.failed());
    EXPECT_LE(seen, 24);
    EXPECT_EQ(worker.recovered(), 24);
    EXPECT_EQ(worker.failed(), 0);
    size_t matched = 0;
    for (const QString& name : out.entryList(QDir::Files)) {
        auto bytes = read_file(out.filePath(name).toStdString());
        matched += std::count(contents.begin(), contents.end(), bytes) > 0;
    }
    EXPECT_EQ(matched, 24u);
    close_physical_drives();
}

TEST(threads, partition_search_stops_when_asked_from_another_thread) {
    std::vector<uint8_t> bytes(size_t(64) << 20, 0);  // 64 MiB of nothing to find
    qv::memory_device dev(std::move(bytes));
    std::atomic<double> progress{0.0};
    std::atomic<bool> stop{false};
    qv::partition::search_hooks hooks;
    hooks.progress = &progress;
    hooks.stop = [&] { return stop.load(); };
    std::atomic<int> result{-1};
    std::thread search([&] { result = qv::partition::search_device(dev, hooks); });
    while (progress.load() == 0.0 && result.load() < 0) std::this_thread::yield();
    stop = true;
    search.join();
    if (result.load() == qv::partition::search_done) GTEST_SKIP() << "the search ended before the stop";
    EXPECT_EQ(result.load(), qv::partition::search_stopped);
    EXPECT_LT(progress.load(), 1.0);
}

TEST(threads, media_check_marks_a_drive_gone_while_a_scan_reads_another) {
    temp_dir dir;
    std::string first = dir / "first.img", second = dir / "second.img";
    build_deleted_files(first, 8);
    build_deleted_files(second, 8);
    auto& catalog = qv::device_catalog::shared();
    catalog.set_block_devices_enabled(false);
    catalog.close_images();
    ASSERT_EQ(catalog.open_image(first), 0);
    ASSERT_EQ(catalog.open_image(second), 1);
    ASSERT_EQ(open_physical_drives(), 2u);
    ASSERT_EQ(device_status(1) & DEVICE_NOT_READY, 0);

    fat_recovery_c engine;
    volume_item_s v;
    v.volume_name = v.device_name = QString::fromStdString(first);
    engine.set_volume(v);
    engine.start();
    // The window runs the check on its own thread when the system reports a change.
    check_media();
    EXPECT_EQ(device_status(1) & DEVICE_NOT_READY, 0) << "a present medium is never marked";
    ASSERT_EQ(::truncate(second.c_str(), 0), 0);  // the second medium goes away
    for (int pass = 0; pass < 50 && !(device_status(1) & DEVICE_NOT_READY); ++pass) {
        check_media();  // a pass may find the drive busy and look again later
        engine.progress();
    }
    EXPECT_TRUE(device_status(1) & DEVICE_NOT_READY) << "the check did not notice the empty medium";
    ASSERT_TRUE(engine.wait(60000));
    EXPECT_EQ(engine.items_found(), 8u);
    EXPECT_EQ(device_status(0) & DEVICE_NOT_READY, 0);
    close_physical_drives();
    catalog.close_images();
}

}  // namespace
