// The partition page on image files: search, stop and restart, and the repair's question and report.
#include <gtest/gtest.h>

#include <QFileInfo>
#include <QImage>
#include <QListView>
#include <QPainter>
#include <QPushButton>
#include <QTest>

#include "app/language_settings.hpp"
#include "devices/volume_items.hpp"
#include "partition/partition_repair.hpp"
#include "tests/partition/boot_images.hpp"
#include "tests/support/disk_images.hpp"
#include "tests/ui_shell/shell_test_support.hpp"
#include "ui/partition_model.hpp"
#include "ui/partition_window.hpp"
#include "ui/progress_bar.hpp"

namespace {

using qv::test::read_file;
using qv::test::sector;

// Three lost partitions on a drive without a partition table.
std::vector<uint8_t> three_partitions() {
    std::vector<uint8_t> drive(12000 * sector);
    qv::test::put_ntfs_boot(drive, 2048, 5000);
    qv::test::put_fat32_boot(drive, 7049, 3000);
    qv::test::put_ntfs_boot(drive, 10100, 1000);
    return drive;
}

drive_item_s drive_for(const std::string& image) {
    EXPECT_TRUE(qv::test::open_image_as_drive(image));
    for (const drive_item_s& d : drive_items)
        if (d.name == QString::fromStdString(image)) return d;
    ADD_FAILURE() << image << " is not among the drives";
    return {};
}

std::vector<uint8_t> first_sector(const std::string& image) {
    auto bytes = read_file(image);
    bytes.resize(512);
    return bytes;
}

class partition_page_test : public testing::Test {
protected:
    void SetUp() override { page.resize(794, 496); }
    bool wait_idle() {
        return qv::test::wait_until([&] { return !page.searching() && page.stop_button()->text() == language_text("btn_start"); });
    }

    qv::test::shell_recorder recorder;
    qv::test::temp_dir dir;
    partition_window_c page{nullptr};
};

TEST_F(partition_page_test, lists_what_it_finds_and_repairs_only_when_idle_and_confirmed) {
    const std::string image = dir / "lost.img";
    qv::test::write_file(image, three_partitions());
    const drive_item_s drive = drive_for(image);
    EXPECT_EQ(page.stop_button()->text(), language_text("btn_stop"));
    page.start_search(drive);
    ASSERT_TRUE(wait_idle());

    ASSERT_EQ(page.model()->rowCount(), 3);
    EXPECT_EQ(page.model()->data(page.model()->index(1, 0)).value<partition_item_s>().fs_name, "FAT32");
    page.on_timer();
    EXPECT_EQ(page.progress_bar().value, 1.0);

    // Rows 0 and 2 are painted on the light background, row 1 is not.
    page.show();
    QImage shot = page.list()->viewport()->grab().toImage();
    EXPECT_EQ(shot.pixelColor(5, 2), QColor(241, 250, 255));
    EXPECT_NE(shot.pixelColor(5, 32), QColor(241, 250, 255));
    EXPECT_EQ(shot.pixelColor(5, 62), QColor(241, 250, 255));

    const auto before = first_sector(image);
    recorder.answer = QMessageBox::No;
    page.on_repair_clicked();
    EXPECT_EQ(recorder.keys(), std::vector<std::string>{"partition_query"});
    EXPECT_EQ(first_sector(image), before) << "No writes nothing";

    recorder.answer = QMessageBox::Yes;
    QTest::mouseClick(page.repair_button(), Qt::LeftButton);
    ASSERT_EQ(recorder.keys(), (std::vector<std::string>{"partition_query", "partition_query", "partition_finished"}));
    const auto after = first_sector(image);
    EXPECT_EQ(after[510], 0x55);
    EXPECT_EQ(after[511], 0xAA);
    EXPECT_EQ(after[446 + 4], 0x07) << "first entry: NTFS";
    EXPECT_EQ(qv::byte_view(after.data(), after.size()).le32(446 + 8), 2048u);
    EXPECT_EQ(after[446 + 16 + 4], 0x0C) << "second entry: FAT32";

    // The message names the backup of the replaced sector, and it holds the old bytes.
    const QString detail = recorder.shown.back().detail;
    const qsizetype at = detail.indexOf(qEnvironmentVariable("XDG_DATA_HOME"));
    ASSERT_GE(at, 0) << detail.toStdString();
    const QString backup = detail.mid(at).trimmed();
    ASSERT_TRUE(QFileInfo(backup).isFile()) << backup.toStdString();
    EXPECT_EQ(read_file(backup.toStdString()), before);
}

// A volume made at an odd sector is not among the likely places: the page
// offers to read every sector, and finds it when the user says yes.
TEST_F(partition_page_test, a_quick_search_that_finds_nothing_lost_offers_every_sector) {
    const std::string image = dir / "odd.img";
    std::vector<uint8_t> bytes(12000 * sector);
    qv::test::put_ntfs_boot(bytes, 5003, 3000);
    qv::test::write_file(image, bytes);
    const drive_item_s drive = drive_for(image);
    page.show();
    recorder.answer = QMessageBox::No;
    page.start_search(drive);
    ASSERT_TRUE(qv::test::wait_until([&] { return !recorder.shown.empty(); }));
    ASSERT_TRUE(wait_idle());
    EXPECT_EQ(recorder.keys(), std::vector<std::string>{"partition_every_sector_query"});
    EXPECT_EQ(page.model()->rowCount(), 0);
    EXPECT_EQ(page.search().reach(), qv::partition::search_reach::likely_places);

    recorder.answer = QMessageBox::Yes;
    page.start_search(drive);
    ASSERT_TRUE(qv::test::wait_until(
        [&] { return recorder.shown.size() == 2 && !page.searching() && page.model()->rowCount() == 1; }));
    QTest::qWait(100);  // the end of the every-sector search asks nothing more
    EXPECT_EQ(recorder.keys(),
              (std::vector<std::string>{"partition_every_sector_query", "partition_every_sector_query"}));
    EXPECT_EQ(page.search().reach(), qv::partition::search_reach::every_sector);
    EXPECT_EQ(page.model()->data(page.model()->index(0, 0)).value<partition_item_s>().start_sector, 5003u);
    EXPECT_EQ(page.stop_button()->text(), language_text("btn_start"));
}

TEST_F(partition_page_test, a_repair_that_writes_nothing_says_so) {
    const std::string image = dir / "empty.img";
    qv::test::write_file(image, std::vector<uint8_t>(4000 * sector));
    page.start_search(drive_for(image));
    ASSERT_TRUE(wait_idle());
    EXPECT_EQ(page.model()->rowCount(), 0);
    page.on_repair_clicked();
    ASSERT_EQ(recorder.keys(), (std::vector<std::string>{"partition_query", "partition_failed"}));
    EXPECT_FALSE(recorder.shown.back().detail.isEmpty()) << "with the reason";
    EXPECT_EQ(read_file(image), std::vector<uint8_t>(4000 * sector));
}

TEST_F(partition_page_test, stop_twice_restarts_from_the_first_sector_with_an_empty_list) {
    const std::string image = dir / "big.img";
    ASSERT_TRUE(qv::test::make_blank_image(image, 64 * 1024));
    // A partition near the start, so the restarted search's list is seen to start over.
    {
        auto head = three_partitions();
        std::FILE* f = std::fopen(image.c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        std::fwrite(head.data(), 1, head.size(), f);
        std::fclose(f);
    }
    page.start_search(drive_for(image));
    ASSERT_TRUE(qv::test::wait_until([&] { return page.search().partition_count() == 3; }));
    ASSERT_TRUE(page.searching());
    page.on_repair_clicked();
    EXPECT_TRUE(recorder.shown.empty()) << "no question while the search runs";
    page.on_stop_clicked();
    EXPECT_FALSE(page.searching());
    EXPECT_EQ(page.stop_button()->text(), language_text("btn_start"));
    qv::test::wait_until([&] { return page.model()->rowCount() == 3; }, 2000);
    EXPECT_EQ(page.model()->rowCount(), 3) << "the list keeps the stopped search's finds";

    page.on_stop_clicked();
    EXPECT_EQ(page.model()->rowCount(), 0) << "the list starts empty";
    EXPECT_TRUE(page.searching());
    EXPECT_EQ(page.stop_button()->text(), language_text("btn_stop"));
    QCoreApplication::processEvents();  // the first search's late finish must not relabel the button
    EXPECT_EQ(page.stop_button()->text(), language_text("btn_stop"));
    // Found again from the first sector, into an emptied list: three rows, not six.
    ASSERT_TRUE(qv::test::wait_until([&] { return page.model()->rowCount() == 3; }));
    EXPECT_EQ(page.model()->data(page.model()->index(0, 0)).value<partition_item_s>().start_sector, 2048u);
    EXPECT_EQ(page.search().partition_count(), 3);
    EXPECT_TRUE(page.searching());
    page.stop_search();
    EXPECT_FALSE(page.searching());
    EXPECT_EQ(page.stop_button()->text(), language_text("btn_start"));
}

}  // namespace
