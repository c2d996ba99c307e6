// The main window's pages and the ways between them, with their warnings.
#include <gtest/gtest.h>

#include <QAction>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

#include <optional>

#include "app/init_worker.hpp"
#include "app/language_settings.hpp"
#include "devices/device_catalog.hpp"
#include "devices/media_monitor.hpp"
#include "devices/volume_items.hpp"
#include "partition/partition_repair.hpp"
#include "tests/support/disk_images.hpp"
#include "tests/ui_shell/shell_test_support.hpp"
#include "ui/device_models.hpp"
#include "ui/drive_window.hpp"
#include "ui/home_window.hpp"
#include "ui/main_window.hpp"
#include "ui/partition_window.hpp"
#include "ui/recovery_window.hpp"
#include "ui/scan_control.hpp"
#include "ui/scan_state.hpp"
#include "ui/shell_prompts.hpp"
#include "ui/volume_window.hpp"

using qv::ui::scan_control_c;

namespace {

using qv::test::shell_recorder;

volume_item_s volume(const QString& path, const QString& fs) {
    volume_item_s v;
    v.device_name = v.volume_name = v.mount_path = path;
    v.file_system = fs;
    v.total_bytes = 1 << 20;
    return v;
}

// Two made-up volumes and drives: enough to walk the pages without touching a device.
void fake_lists() {
    volume_items = {volume_item_s{}, volume("/nowhere/a.img#1", "btrfs"), volume("/nowhere/a.img#2", "exFAT")};
    drive_items = {drive_item_s{}, drive_item_s{"/nowhere/a.img", 1 << 20, qv::disk_geometry{}}};
}

class main_window_test : public testing::Test {
protected:
    void SetUp() override {
        init_ready = 0;
        scan_running = false;
        window.show();
        window.recovery()->prompts().ask = [this](QWidget*, const char* key) {
            recovery_questions.push_back(key);
            return false;
        };
        window.recovery()->prompts().tell = [this](QWidget*, const char* key) { recovery_questions.push_back(key); };
    }
    void TearDown() override {
        init_ready = 0;
        scan_running = false;
    }
    int page() const {
        for (int i = 0; i < 5; ++i)
            if (window.current_page() == window.page(i)) return i;
        return -1;
    }
    // Exactly one page is visible, and it is the current one.
    bool one_page_visible() const {
        int visible = 0;
        for (int i = 0; i < 5; ++i) visible += window.page(i)->isVisible();
        return visible == 1 && window.current_page()->isVisible();
    }
    void ready() {
        fake_lists();
        init_ready = 1;
        window.on_init_finished();
    }

    shell_recorder recorder;
    main_window_c window;
    std::vector<std::string> recovery_questions;
};

TEST_F(main_window_test, is_built_as_its_form_with_five_pages_in_one_cell) {
    EXPECT_EQ(window.objectName(), "MainForm");
    EXPECT_EQ(window.windowTitle(), "Tessaline");
    EXPECT_EQ(window.minimumSize(), QSize(800, 600));
    EXPECT_EQ(window.size(), QSize(800, 600));
    EXPECT_EQ(page(), 0);
    EXPECT_TRUE(one_page_visible());
    const char* forms[] = {"HomeForm", "VolumeForm", "DriveForm", "PartitionForm", "RecoveryForm"};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(window.page(i)->objectName(), forms[i]);
        EXPECT_EQ(window.page(i)->geometry(), QRect(3, 100, 794, 496)) << forms[i];
    }
    EXPECT_EQ(window.page(5), nullptr);
    window.show_page(7);
    EXPECT_EQ(page(), 0) << "an index outside 0 to 4 does nothing";

    // The extra menu entry comes first, then a separator, then the language submenu.
    const auto entries = window.menu()->actions();
    ASSERT_GE(entries.size(), 3);
    EXPECT_EQ(entries[0]->text(), language_text("menu_open_image"));
    EXPECT_TRUE(entries[1]->isSeparator());
    EXPECT_NE(entries[2]->menu(), nullptr);
}

// The menu's tick for names from content goes to the settings file the deep
// scan reads, and comes back from it at the next start.
TEST_F(main_window_test, the_menu_ticks_names_from_content_into_the_settings) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QSettings* kept = settings;
    QSettings file(dir.filePath("Quorvane.ini"), QSettings::IniFormat);
    settings = &file;
    auto* names = window.menu()->findChild<QAction*>("NameFromContentAction");
    ASSERT_NE(names, nullptr);
    EXPECT_TRUE(names->isCheckable());
    EXPECT_EQ(names->text(), language_text("menu_name_from_content"));
    EXPECT_FALSE(names->isChecked());
    names->trigger();
    EXPECT_TRUE(file.value("name_from_content").toBool());
    EXPECT_TRUE(scan_control_c::name_from_content_setting());
    {
        main_window_c next;
        auto* again = next.menu()->findChild<QAction*>("NameFromContentAction");
        ASSERT_NE(again, nullptr);
        EXPECT_TRUE(again->isChecked());
    }
    names->trigger();
    EXPECT_FALSE(scan_control_c::name_from_content_setting());
    settings = kept;
}

// The menu's tick for deep scans of free space only is on until the user
// takes it off; that goes to the settings file and comes back at the next start.
TEST_F(main_window_test, the_menu_ticks_free_space_deep_scans_into_the_settings) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QSettings* kept = settings;
    QSettings file(dir.filePath("Quorvane.ini"), QSettings::IniFormat);
    settings = &file;
    main_window_c fresh;  // made with this settings file, where nothing is set yet
    auto* free_space = fresh.menu()->findChild<QAction*>("FreeSpaceOnlyAction");
    ASSERT_NE(free_space, nullptr);
    EXPECT_TRUE(free_space->isCheckable());
    EXPECT_EQ(free_space->text(), language_text("menu_deep_free_space"));
    EXPECT_TRUE(free_space->isChecked()) << "free space only is the default";
    EXPECT_TRUE(scan_control_c::free_space_setting());
    free_space->trigger();
    EXPECT_FALSE(free_space->isChecked());
    EXPECT_TRUE(file.contains("deep_scan_free_space"));
    EXPECT_FALSE(file.value("deep_scan_free_space").toBool());
    EXPECT_FALSE(scan_control_c::free_space_setting());
    {
        QSettings written(dir.filePath("Quorvane.ini"), QSettings::IniFormat);
        EXPECT_FALSE(written.value("deep_scan_free_space", true).toBool()) << "synced to the file";
        main_window_c next;
        auto* again = next.menu()->findChild<QAction*>("FreeSpaceOnlyAction");
        ASSERT_NE(again, nullptr);
        EXPECT_FALSE(again->isChecked());
    }
    free_space->trigger();
    EXPECT_TRUE(scan_control_c::free_space_setting());
    settings = kept;
}

TEST_F(main_window_test, before_start_up_has_finished_every_way_in_says_wait) {
    QTest::mouseClick(window.home()->start_button(), Qt::LeftButton);
    QTest::mouseClick(window.home()->resume_button(), Qt::LeftButton);
    window.on_click_open_image();
    EXPECT_EQ(recorder.keys(), (std::vector<std::string>{"startup_warning", "startup_warning", "startup_warning"}));
    for (const auto& m : recorder.shown) {
        EXPECT_EQ(m.title, "Quorvane");
        EXPECT_EQ(m.parent, &window);
    }
    EXPECT_EQ(page(), 0);

    // The real start-up worker then fills the lists and the pages get their models.
    init_c worker;
    QObject::connect(&worker, &init_c::init_finished, &window, &main_window_c::on_init_finished);
    worker.start(QThread::InheritPriority);
    ASSERT_TRUE(qv::test::wait_until([&] { return window.drives()->model() != nullptr; }));
    worker.wait();
    EXPECT_EQ(init_ready.load(), 1);
    EXPECT_NE(window.volumes()->model(), nullptr);
    EXPECT_EQ(page(), 0) << "no page change";
    QTest::mouseClick(window.home()->start_button(), Qt::LeftButton);
    EXPECT_EQ(page(), 1);
    EXPECT_EQ(recorder.shown.size(), 3u);
}

TEST_F(main_window_test, scanning_nothing_or_the_heading_row_is_refused_with_its_message) {
    ready();
    EXPECT_FALSE(window.volumes()->form().list->currentIndex().isValid()) << "no volume is made current";
    EXPECT_EQ(window.drives()->form().list->currentIndex().row(), 1) << "the first drive is";
    window.on_click_home_start();
    ASSERT_EQ(page(), 1);

    QTest::mouseClick(window.volumes()->form().btn_scan, Qt::LeftButton);
    ASSERT_EQ(recorder.keys(), std::vector<std::string>{"scan_nosel_warning"});
    EXPECT_EQ(recorder.shown[0].title, "Quorvane");

    QListView* list = window.volumes()->form().list;
    list->setCurrentIndex(list->model()->index(0, 0));
    QTest::mouseClick(window.volumes()->form().btn_scan, Qt::LeftButton);
    ASSERT_EQ(recorder.shown.size(), 2u);
    EXPECT_EQ(recorder.shown[1].key, "main_warning2");
    EXPECT_EQ(recorder.shown[1].title, "Tessaline");
    EXPECT_EQ(recorder.shown[1].parent, nullptr) << "centred on the screen";
    EXPECT_EQ(recorder.shown[1].buttons, QMessageBox::NoButton) << "Qt's own OK";

    // A double click scans whatever row was clicked: the heading row again.
    emit list->doubleClicked(list->model()->index(0, 0));
    EXPECT_EQ(recorder.shown.back().key, "main_warning2");
    EXPECT_EQ(page(), 1);

    // A volume that no engine reads, without a deep scan, stays on the volume page.
    list->setCurrentIndex(list->model()->index(1, 0));
    window.on_click_volume_scan();
    EXPECT_EQ(page(), 1);
    EXPECT_FALSE(scan_running);

    window.show_page(2);
    window.on_click_drive_refresh();
    EXPECT_FALSE(window.drives()->form().list->currentIndex().isValid()) << "refresh leaves no row current";
    QTest::mouseClick(window.drives()->form().btn_scan, Qt::LeftButton);
    EXPECT_EQ(recorder.shown.back().key, "main_warning1");
    EXPECT_EQ(recorder.shown.back().title, "Tessaline");
    EXPECT_EQ(recorder.shown.back().parent, nullptr);
    QListView* drives = window.drives()->form().list;
    drives->setCurrentIndex(drives->model()->index(0, 0));
    window.on_click_drive_scan();
    EXPECT_EQ(recorder.shown.back().key, "main_warning1");
    EXPECT_EQ(page(), 2);
    EXPECT_EQ(recorder.shown.size(), 5u);
}

TEST_F(main_window_test, back_buttons_and_the_deep_scan_choice) {
    ready();
    window.deep_scan_requested = true;
    window.on_click_home_start();
    EXPECT_TRUE(window.deep_scan_requested) << "the start button does not change the choice";
    QTest::mouseClick(window.volumes()->form().btn_back, Qt::LeftButton);
    EXPECT_EQ(page(), 0);
    window.show_page(2);
    QTest::mouseClick(window.drives()->form().btn_back, Qt::LeftButton);
    EXPECT_EQ(page(), 0);
    window.show_page(3);
    QTest::mouseClick(window.partitions()->back_button(), Qt::LeftButton);
    EXPECT_EQ(page(), 1) << "back from the partition page leads to the volume page";
    EXPECT_TRUE(one_page_visible());
    EXPECT_TRUE(recorder.shown.empty());

    // Leaving the results page while a scan runs asks first.
    window.show_page(4);
    scan_running = true;
    recorder.answer = QMessageBox::No;
    window.on_click_recovery_back();
    EXPECT_EQ(recorder.keys(), std::vector<std::string>{"back_warning"});
    EXPECT_EQ(page(), 4);
    recorder.answer = QMessageBox::Yes;
    window.on_click_recovery_back();
    EXPECT_EQ(page(), 1);
    scan_running = false;
    window.show_page(4);
    window.on_click_recovery_back();
    EXPECT_EQ(recorder.shown.size(), 2u) << "no question when no scan runs";
    EXPECT_EQ(page(), 1);
}

TEST_F(main_window_test, an_image_opened_from_the_menu_is_scanned_and_shown_as_results) {
    QV_REQUIRE_TOOL("mkfs.fat");
    qv::test::temp_dir dir;
    const std::string image = dir / "card.img";
    ASSERT_TRUE(qv::test::make_blank_image(image, 8));
    ASSERT_TRUE(qv::test::format_fat_at(image, 0, 8 * 2048, 12, "CARD"));
    ready();

    recorder.image_to_open = QString::fromStdString(dir / "missing.img");
    window.on_click_open_image();
    ASSERT_EQ(recorder.keys(), std::vector<std::string>{"open_image_failed"});
    EXPECT_FALSE(recorder.shown[0].detail.isEmpty()) << "the reason is shown";

    recorder.image_to_open = QString::fromStdString(image);
    window.on_click_open_image();
    EXPECT_EQ(recorder.shown.size(), 1u);
    int row = -1;
    for (int i = 0; i < volume_items.size(); ++i)
        if (volume_items[i].device_name == recorder.image_to_open) row = i;
    ASSERT_GT(row, 0) << "the image is listed as a volume";
    EXPECT_EQ(volume_items[row].file_system, "FAT12");
    EXPECT_EQ(window.volumes()->model()->rowCount(), volume_items.size());
    EXPECT_EQ(window.drives()->model()->rowCount(), drive_items.size());
    EXPECT_EQ(drive_items.back().name, recorder.image_to_open);

    window.on_click_home_start();
    QListView* list = window.volumes()->form().list;
    list->setCurrentIndex(list->model()->index(row, 0));
    emit list->doubleClicked(list->currentIndex());
    EXPECT_EQ(page(), 4) << "the scan started and the results page is shown";
    ASSERT_TRUE(qv::test::wait_until([] { return !scan_running; }));
    EXPECT_EQ(window.recovery()->volume().device_name, recorder.image_to_open);
    window.on_click_recovery_back();
    EXPECT_EQ(page(), 1);
    EXPECT_EQ(recorder.shown.size(), 1u);
}

TEST_F(main_window_test, the_window_systems_close_ends_a_partition_search_and_waits_for_it) {
    qv::test::temp_dir dir;
    const std::string image = dir / "big.img";
    ASSERT_TRUE(qv::test::make_blank_image(image, 64 * 1024));  // sparse: searched quickly, but not at once
    ready();
    ASSERT_TRUE(qv::test::open_image_as_drive(image));
    window.on_init_finished();
    QListView* drives = window.drives()->form().list;
    drives->setCurrentIndex(drives->model()->index(int(drive_items.size()) - 1, 0));
    window.on_click_drive_scan();
    ASSERT_EQ(page(), 3);
    ASSERT_TRUE(window.partitions()->searching());

    QSignalSpy closing(&window, &QSkinWidget::aboutToClose);
    EXPECT_TRUE(window.close());  // not through on_click_close(): no question
    EXPECT_FALSE(window.partitions()->searching()) << "stopped and waited for before the window went";
    EXPECT_EQ(closing.count(), 1);
    EXPECT_TRUE(recorder.shown.empty());
    EXPECT_LT(window.partitions()->search().progress(), 1.0) << "ended early, not run to the end";
}

}  // namespace

namespace {

std::vector<uint8_t> first_sector_of(const std::string& image) {
    auto bytes = qv::test::read_file(image);
    bytes.resize(512);
    return bytes;
}

}  // namespace

TEST_F(main_window_test, the_menus_restore_puts_a_wiped_first_sector_back_once_and_then_refuses) {
    QV_REQUIRE_TOOL("mkntfs");
    qv::test::temp_dir dir;
    const std::string img = dir / "disk.img", part = dir / "ntfs.part";
    ASSERT_EQ(qv::test::run("truncate -s 32M " + qv::test::shell_quote(img) + " && truncate -s 12M " +
                            qv::test::shell_quote(part) + " && mkntfs -F -Q -q -p 2048 " + qv::test::shell_quote(part) +
                            " && dd if=" + qv::test::shell_quote(part) + " of=" + qv::test::shell_quote(img) +
                            " bs=512 seek=2048 conv=notrunc status=none"),
              0);
    const std::vector<uint8_t> wiped(512, 0);
    ASSERT_EQ(first_sector_of(img), wiped);
    // The repair, by the command line, saves the wiped sector with its undo record.
    std::string out;
    ASSERT_EQ(qv::test::run("XDG_DATA_HOME=" + qv::test::shell_quote(dir / "data") + " QUORVANE_IMAGES_ONLY=1 " + std::string(QUORVANE_CLI) + " partitions --write-mbr --yes " +
                                qv::test::shell_quote(img),
                            &out),
              0)
        << out;
    const std::string saved = "saved the replaced first sector to ";
    const auto at = out.find(saved);
    ASSERT_NE(at, std::string::npos) << out;
    const QString backup = QString::fromStdString(out.substr(at + saved.size(), out.find('\n', at) - at - saved.size()));
    ASSERT_NE(first_sector_of(img), wiped);

    ready();
    qv::ui::shell_prompts().choose_sector_backup = [&](QWidget*) { return backup; };
    window.on_click_restore_mbr();
    ASSERT_EQ(recorder.keys(), std::vector<std::string>{"restore_mbr_done"});
    EXPECT_EQ(first_sector_of(img), wiped) << "the zeros the drive held are back";

    // The first sector is no longer the one the repair wrote: refused, with the reason.
    window.on_click_restore_mbr();
    ASSERT_EQ(recorder.keys(), (std::vector<std::string>{"restore_mbr_done", "restore_mbr_refused"}));
    EXPECT_FALSE(recorder.shown[1].detail.isEmpty());
    EXPECT_EQ(first_sector_of(img), wiped);
}

namespace {

bool volume_listed(const QString& device) {
    for (const auto& v : volume_items)
        if (v.device_name == device) return true;
    return false;
}

// Lists the machine's block devices for one test (the others list image files only).
struct block_devices_listed {
    block_devices_listed() { qv::device_catalog::shared().set_block_devices_enabled(true); }
    ~block_devices_listed() { qv::device_catalog::shared().set_block_devices_enabled(false); }
};

}  // namespace

TEST_F(main_window_test, a_card_plugged_in_and_pulled_out_shows_on_the_volume_page_without_refresh) {
    QV_REQUIRE_TOOL("mkfs.fat");
    if (!qv::media_monitor().start()) GTEST_SKIP() << "this system gives no device events";
    qv::test::temp_dir dir;
    const std::string image = dir / "card.img";
    ASSERT_TRUE(qv::test::make_blank_image(image, 8));
    ASSERT_TRUE(qv::test::format_fat_at(image, 0, 8 * 2048, 12, "CARD"));
    block_devices_listed listed;
    ready();
    window.on_click_home_start();
    ASSERT_EQ(page(), 1);

    std::optional<qv::test::loop_device> card(std::in_place);
    std::string why;
    if (!card->attach(image, false, &why)) GTEST_SKIP() << why;
    const QString device = QString::fromStdString(card->path());
    EXPECT_TRUE(qv::test::wait_until([&] { return volume_listed(device); }, 5000))
        << device.toStdString() << " was not listed after it was attached";
    EXPECT_EQ(window.volumes()->model()->rowCount(), volume_items.size()) << "the page shows the new list";
    EXPECT_TRUE(recorder.shown.empty());

    // The card is pulled out of its reader: the medium is gone and the reader says so.
    // (Detaching the loop device itself waits for its last user to close it.)
    ASSERT_EQ(::truncate(image.c_str(), 0), 0);
    ASSERT_EQ(qv::test::run("losetup -c " + qv::test::shell_quote(card->path())), 0);
    EXPECT_TRUE(qv::test::wait_until([&] { return !volume_listed(device); }, 5000))
        << device.toStdString() << " was still listed after its medium went away";
    EXPECT_EQ(window.volumes()->model()->rowCount(), volume_items.size());
}
