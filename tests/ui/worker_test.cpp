// The recovery worker and the per-row copy: exact bytes out of a real FAT image,
// a private copy of the ticked rows, names that stay inside the folder.
#include <gtest/gtest.h>

#include <QFileInfo>

#include <QDir>
#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

#include "devices/device_handle.hpp"
#include "tests/engine/fat_scan.hpp"
#include "tests/ui/ui_test_support.hpp"
#include "ui/recovery_base.hpp"
#include "ui/recovery_worker.hpp"
#include "ui/result_tree.hpp"
#include "ui/scanner_thread.hpp"

using qv::recover_destination_failed;
using qv::ui::recover_row;
using qv::ui::scanner_thread_c;

namespace {

using qv::test::pseudo_random_bytes;
using qv::test::read_file;

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

class worker_on_fat : public ::testing::Test {
protected:
    void SetUp() override {
        QV_REQUIRE_MTOOLS();
        std::string why;
        ASSERT_TRUE(qv::test::make_fat_image(
            dir / "fat.img", 12, {"/Pics"},
            {{"/Pics/one.jpg", pseudo_random_bytes(4000, 1)},
             {"/Pics/two.jpg", pseudo_random_bytes(9000, 2)},
             {"/Pics/three.txt", pseudo_random_bytes(1, 3)},
             {"/Pics/empty.bin", {}}},
            {"/Pics/one.jpg", "/Pics/two.jpg", "/Pics/three.txt", "/Pics/empty.bin"}, &img, &why))
            << why;
        engine = qv::test::scan_fat_window(img.path);
        const qv::found_item* pics = nullptr;
        for (const qv::found_item& item : engine->found_items())
            if (item.directory && item.name == "Pics") pics = &item;
        ASSERT_TRUE(pics);
        for (const qv::found_item& item : engine->found_items())
            if (item.parent == pics->id && !item.directory) rows.append(qv::ui::row_of(item));
        ASSERT_EQ(rows.size(), 3) << "an empty deleted file has no cluster and is never listed";
        std::sort(rows.begin(), rows.end(), [](const recovery_item_s& a, const recovery_item_s& b) {
            return a.name < b.name;
        });
        out = dir / "out";
        QDir().mkpath(q(out));
    }
    std::vector<uint8_t> original(const std::string& path) { return img.deleted.at(path); }

    qv::test::temp_dir dir;
    qv::test::deleted_files_image img;
    std::unique_ptr<fat_recovery_c> engine;
    QList<recovery_item_s> rows;
    std::string out;
};

TEST_F(worker_on_fat, recovers_exactly_the_ticked_rows_from_its_own_copy) {
    // Rows sorted by name: #hree.txt, #ne.jpg, #wo.jpg.
    rows[1].ticked = 1;
    rows[2].ticked = 1;
    const recovery_item_s one = rows[1], two = rows[2];
    recovery_file_c worker;
    worker.set_job(engine.get(), QDir(q(out)), rows);
    EXPECT_EQ(worker.pending_rows(), 2);
    worker.start();
    // The page rebuilds its rows (another folder clicked) while the worker runs.
    rows.clear();
    rows.append(recovery_item_s{"other", 1, 0, 0, 12345, 0, 1, {}, {}});
    ASSERT_TRUE(worker.wait(60000));
    EXPECT_EQ(worker.recovered(), 2);
    EXPECT_EQ(worker.failed(), 0);
    EXPECT_EQ(read_file(out + "/#ne.jpg"), original("/Pics/one.jpg"));
    EXPECT_EQ(read_file(out + "/#wo.jpg"), original("/Pics/two.jpg"));
    EXPECT_FALSE(QFile::exists(q(out + "/#hree.txt")));
    EXPECT_FALSE(QFile::exists(q(out + "/other")));
    // The copies keep the modification times the volume gave them.
    for (const auto& row : {one, two}) {
        ASSERT_NE(row.date1, 0) << row.name.toStdString();
        EXPECT_EQ(QFileInfo(q(out) + "/" + row.name).lastModified().toSecsSinceEpoch(), row.date1)
            << row.name.toStdString();
    }
}

TEST_F(worker_on_fat, same_names_and_hostile_names_stay_inside_without_overwriting) {
    QList<recovery_item_s> job;
    recovery_item_s a = rows[1], b = rows[2], c = rows[0], missing = rows[0];
    a.ticked = b.ticked = c.ticked = missing.ticked = 1;
    b.name = a.name;              // two rows with one name
    c.name = "../../escape.txt";  // a name read from a hostile disk
    missing.name = "missing";
    missing.id = 999999;  // not in the engine's map
    job << a << b << c << missing;
    qv::test::write_file(out + "/#ne.jpg", {'k', 'e', 'e', 'p'});  // the user's own file

    recovery_file_c worker;
    worker.set_job(engine.get(), QDir(q(out)), job);
    worker.start();
    ASSERT_TRUE(worker.wait(60000));
    EXPECT_EQ(worker.recovered(), 3);
    EXPECT_EQ(worker.failed(), 1);
    EXPECT_EQ(read_file(out + "/#ne.jpg"), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(read_file(out + "/#ne (2).jpg"), original("/Pics/one.jpg"));
    EXPECT_EQ(read_file(out + "/#ne (3).jpg"), original("/Pics/two.jpg"));
    EXPECT_EQ(read_file(out + "/.._.._escape.txt"), original("/Pics/three.txt"));
    EXPECT_FALSE(QFile::exists(q(dir / "escape.txt")));
}

TEST_F(worker_on_fat, nothing_ticked_copies_nothing) {
    recovery_file_c worker;
    worker.set_job(engine.get(), QDir(q(out)), rows);
    EXPECT_EQ(worker.pending_rows(), 0);
    worker.start();
    ASSERT_TRUE(worker.wait(60000));
    EXPECT_EQ(worker.recovered(), 0);
    EXPECT_TRUE(QDir(q(out)).isEmpty());
}

// A registered scanner needs no window code of its own: the one window thread
// over the FAT scanner lists the same files under the same ids as the FAT
// adapter, and the worker recovers them byte for byte.
TEST_F(worker_on_fat, the_window_thread_over_any_registered_scanner_recovers_the_same_files) {
    const qv::scanner_kind* fat = qv::scanner_named("fat");
    ASSERT_TRUE(fat);
    scanner_thread_c generic(*fat);
    std::string error;
    generic.scan_device(qv::file_device::open(img.path, 0, 0, true, qv::access_mode::read_only, &error));
    EXPECT_EQ(generic.problems().end, qv::read_end::complete);
    size_t same = 0;
    for (const qv::found_item& item : generic.found_items())
        for (const recovery_item_s& row : rows) same += item.id == row.id && item.size == row.size;
    EXPECT_EQ(same, size_t(rows.size()));
    for (recovery_item_s& row : rows) row.ticked = 1;
    recovery_file_c worker;
    worker.set_job(&generic, QDir(q(out)), rows);
    worker.start();
    worker.wait();
    EXPECT_EQ(worker.recovered(), 3);
    EXPECT_EQ(worker.failed(), 0);
    EXPECT_EQ(read_file(out + "/#ne.jpg"), original("/Pics/one.jpg"));
    EXPECT_EQ(read_file(out + "/#wo.jpg"), original("/Pics/two.jpg"));
    EXPECT_EQ(read_file(out + "/#hree.txt"), original("/Pics/three.txt"));
    // An id it never found is refused, not written.
    EXPECT_FALSE(generic.recover(0xFFFFFF, q(dir / "stranger")).written());
    EXPECT_FALSE(QFileInfo::exists(q(dir / "stranger")));
}

// An engine that says how its recoveries go, as a reader would.
class scripted_engine : public recovery_stop_c {
public:
    int recovered = 0;
    int32_t result = 0;
    uint64_t unreadable = 0;
    int32_t recover_file(uint64_t, QString destination) override {
        ++recovered;
        if (result == 0) qv::test::write_file(QFile::encodeName(destination).toStdString(), {'x'});
        return result;
    }
    uint64_t last_unreadable_bytes() const override { return unreadable; }
};

// Live and deleted rows alike go through the engine's own reader (a live NTFS
// file is no longer copied through the mounted file system), and its result
// becomes one status.
TEST(recover_row, every_row_goes_through_its_engine_and_comes_back_as_one_status) {
    qv::test::temp_dir dir;
    scripted_engine engine;
    struct row_case {
        int32_t attributes;     // live (0x02) or deleted (0x82) NTFS rows
        int32_t result;         // the engine's recover_file result
        uint64_t unreadable;
        bool written, damaged, destination_failed;
    };
    const row_case cases[] = {
        {0x02, 0, 0, true, false, false},
        {0x82, 0, 0, true, false, false},
        {0x82, 0, 512, true, true, false},
        {0x02, -7, 0, false, false, false},
        {0x82, recover_destination_failed, 0, false, false, true},
    };
    int n = 0;
    for (const row_case& c : cases) {
        SCOPED_TRACE(n);
        engine.result = c.result;
        engine.unreadable = c.unreadable;
        recovery_item_s row{"f", 1, 1700000000, 0, 1, c.attributes, 1, {}, {}};
        const std::string out = dir / ("f" + std::to_string(n++));
        const qv::recovery_status status = recover_row(engine, row, q(out));
        EXPECT_EQ(status.written(), c.written);
        EXPECT_EQ(status.damaged(), c.damaged);
        EXPECT_EQ(status.destination_failed, c.destination_failed);
        if (c.written) {
            EXPECT_EQ(status.unreadable_bytes, c.unreadable);
            EXPECT_EQ(QFileInfo(q(out)).lastModified().toSecsSinceEpoch(), 1700000000) << "the row's time";
        } else {
            EXPECT_FALSE(qv::failure_text(status).empty());
        }
    }
    EXPECT_EQ(engine.recovered, n) << "every row, live or deleted, through the engine";
}

}  // namespace
