// The recovery page driven offscreen through real scans of FAT images: tree,
// table, ticks, sorting, preview, recovery, the deep-scan question, stop and leave.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>

#include <unistd.h>

#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTreeView>

#include "app/language_settings.hpp"
#include "devices/volume_items.hpp"
#include "engine/engine_choice.hpp"
#include "tests/engine/fat_scan.hpp"
#include "tests/ext4/ext4_test_image.hpp"
#include "tests/ui/ui_test_support.hpp"
#include "ui/filter_row.hpp"
#include "ui/recovery_base.hpp"
#include "ui/recovery_layout.hpp"
#include "ui/recovery_model.hpp"
#include "ui/recovery_window.hpp"
#include "ui/recovery_worker.hpp"
#include "ui/scan_state.hpp"
#include "ui/table_header.hpp"
#include "ui/table_view.hpp"
#include "ui/tree_model.hpp"

using qv::ui::filter_row_c;
using qv::ui::filter_row_gap;
using qv::ui::recovery_prompts_s;

namespace {

using qv::test::pseudo_random_bytes;
using qv::test::read_file;
using qv::test::wait_for;

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

class recovery_page : public ::testing::Test {
protected:
    void SetUp() override {
        QV_REQUIRE_MTOOLS();
        page = std::make_unique<recovery_window_c>(nullptr);
        page->resize(794, 496);
        page->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(page.get()));
        recovery_prompts_s& p = page->prompts();
        p.ask = [this](QWidget*, const char* key) {
            asked << key;
            return answer_yes;
        };
        p.tell = [this](QWidget*, const char* key) { told << key; };
        p.choose_folder = [this](QWidget*) { return folder; };
        p.choose_result_file = [this](QWidget*, bool) { return result_file; };
        p.open_folder = [this](const QString& f) { opened << f; };
    }
    void TearDown() override {
        if (page)
            wait_for(
                [&] { return !scan_running && !(page->worker() && page->worker()->isRunning()); });
        page.reset();
    }

    volume_item_s fat_volume(const std::string& path) { return qv::test::open_test_volume(path); }
    void scan(const volume_item_s& volume, bool deep = false) {
        ASSERT_EQ(page->scan_volume(volume, deep), 0);
        EXPECT_TRUE(scan_running);
        ASSERT_TRUE(wait_for([] { return !scan_running; })) << "the scan did not end";
    }
    QTreeView* tree() { return page->form().tv_dirtree; }
    // The folder with this title anywhere in the tree.
    QModelIndex folder_index(const QString& title, const QModelIndex& parent = {}) {
        TreeModel* m = page->tree_model();
        for (int i = 0; i < m->rowCount(parent); ++i) {
            QModelIndex idx = m->index(i, 0, parent);
            if (idx.data().toString() == title) return idx;
            QModelIndex below = folder_index(title, idx);
            if (below.isValid()) return below;
        }
        return {};
    }
    void click_folder(const QString& title) {
        QModelIndex idx = folder_index(title);
        ASSERT_TRUE(idx.isValid()) << title.toStdString();
        tree()->scrollTo(idx);
        QTest::mouseClick(tree()->viewport(), Qt::LeftButton, {}, tree()->visualRect(idx).center());
    }
    void click_cell(int row, int column) {
        MyQTableView* t = page->table_view();
        QModelIndex idx = page->table_model()->index(row, column);
        ASSERT_TRUE(idx.isValid());
        QTest::mouseClick(t->viewport(), Qt::LeftButton, {}, t->visualRect(idx).center());
    }
    void click_header(int x) {
        QTest::mouseClick(page->table_header()->viewport(), Qt::LeftButton, {}, QPoint(x, 10));
    }
    int row_of(const QString& name) {
        for (int i = 0; i < page->rows().size(); ++i)
            if (page->rows()[i].name == name) return i;
        return -1;
    }

    qv::test::temp_dir dir;
    std::unique_ptr<recovery_window_c> page;
    QStringList asked, told, opened;
    bool answer_yes = false;
    QString folder, result_file;
};

TEST_F(recovery_page, scans_builds_the_tree_fills_the_table_previews_and_recovers) {
    qv::test::deleted_files_image img;
    std::string why;
    auto picture = qv::test::picture_bytes("PNG", 64, 48);
    std::vector<uint8_t> note = {0xEF, 0xBB, 0xBF, 'h', 'e', 'l', 'l', 'o', ' ', 0xC3, 0xBC, '\n'};
    ASSERT_TRUE(qv::test::make_fat_image(dir / "fat.img", 16, {"/Pics", "/Docs"},
                                         {{"/Pics/cat.png", picture},
                                          {"/Pics/dog.bin", pseudo_random_bytes(20000, 1)},
                                          {"/Docs/note.txt", note},
                                          {"/Docs/keep.txt", {'k'}}},
                                         {"/Pics/cat.png", "/Pics/dog.bin", "/Docs/note.txt"}, &img,
                                         &why))
        << why;
    volume_item_s volume = fat_volume(img.path);
    scan(volume);
    EXPECT_EQ(page->engine_kind(), int(engine_kind_fat));
    EXPECT_GE(page->current_engine()->items_found(), 5u);
    EXPECT_DOUBLE_EQ(page->progress_value(), 1.0);
    EXPECT_EQ(page->form().btn_pause->text(), language_text("btn_start"));
    EXPECT_TRUE(page->form().btn_stop->isHidden());
    EXPECT_TRUE(asked.isEmpty()) << "files were found: no deep-scan question";
    ASSERT_TRUE(folder_index("Pics").isValid());
    ASSERT_TRUE(folder_index("Docs").isValid());

    click_folder("Pics");
    ASSERT_EQ(page->rows().size(), 2);
    int cat = row_of("#at.png");
    ASSERT_GE(cat, 0);
    click_cell(cat, 0);
    EXPECT_EQ(page->rows()[cat].ticked, 1u) << "a click in column 0 ticks";
    ASSERT_TRUE(page->preview().ready);
    EXPECT_EQ(page->preview().image.size(), QSize(64, 48)) << "a picture is previewed as an image";
    click_cell(cat, 1);
    EXPECT_EQ(page->rows()[cat].ticked, 1u) << "other columns leave the tick alone";

    // Recover the ticked picture.
    folder = q(dir / "out");
    QDir().mkpath(folder);
    page->on_recovery_clicked();
    ASSERT_TRUE(page->worker());
    ASSERT_TRUE(wait_for([&] { return !page->worker()->isRunning() && !opened.isEmpty(); }));
    EXPECT_EQ(opened, QStringList{folder});
    EXPECT_EQ(read_file(dir / "out/#at.png"), picture);
    EXPECT_FALSE(QFile::exists(folder + "/#og.bin"));

    // A text file with a UTF-8 mark is shown as text without it.
    click_folder("Docs");
    ASSERT_EQ(page->rows().size(), 1);
    EXPECT_EQ(page->rows()[0].ticked, 0u) << "ticks do not survive a change of folder";
    click_cell(0, 2);
    ASSERT_TRUE(page->preview().ready);
    EXPECT_EQ(page->preview().text, QString::fromUtf8("hello ü\n"));
    page->grab();  // paints the preview and status area without trouble
}

TEST_F(recovery_page, check_all_sorting_keys_and_recover_warnings) {
    qv::test::deleted_files_image img;
    std::string why;
    ASSERT_TRUE(qv::test::make_fat_image(dir / "fat.img", 12, {"/D"},
                                         {{"/D/b.txt", pseudo_random_bytes(300, 1)},
                                          {"/D/a.txt", pseudo_random_bytes(100, 2)},
                                          {"/D/c.txt", pseudo_random_bytes(200, 3)}},
                                         {"/D/b.txt", "/D/a.txt", "/D/c.txt"}, &img, &why))
        << why;
    scan(fat_volume(img.path));
    click_folder("D");
    ASSERT_EQ(page->rows().size(), 3);

    page->on_recovery_clicked();
    EXPECT_EQ(told, QStringList{"recovery_check_warning"}) << "nothing ticked";

    MyHeaderView* header = page->table_header();
    click_header(10);
    EXPECT_TRUE(header->check_all_state());
    for (const auto& r : page->rows()) EXPECT_EQ(r.ticked, 1u);

    // Size heading: ascending, then descending; ticks stay with their rows.
    int size_x = header->sectionPosition(2) + 20;
    click_header(size_x);
    EXPECT_EQ(page->rows()[0].size, 100u);
    EXPECT_EQ(page->rows()[2].size, 300u);
    click_cell(0, 1);  // the 100-byte row becomes current
    click_header(size_x);
    EXPECT_EQ(page->rows()[0].size, 300u);
    EXPECT_EQ(page->rows()[page->table_view()->currentIndex().row()].size, 100u)
        << "the current row follows the sort";
    click_header(10);
    for (const auto& r : page->rows()) EXPECT_EQ(r.ticked, 0u);

    // Moving down with the keyboard in column 0 acts like a click: it ticks.
    click_cell(0, 0);
    EXPECT_EQ(page->rows()[0].ticked, 1u);
    QTest::keyClick(page->table_view(), Qt::Key_Down);
    EXPECT_EQ(page->rows()[1].ticked, 1u);
    EXPECT_EQ(page->table_view()->currentIndex().row(), 1);

    // Clicking the folder again: fresh rows, nothing ticked, header box clear.
    click_header(10);
    click_folder("D");
    EXPECT_FALSE(header->check_all_state());
    for (const auto& r : page->rows()) EXPECT_EQ(r.ticked, 0u);

    // Cancelling the folder dialog starts nothing.
    click_header(10);
    folder.clear();
    page->on_recovery_clicked();
    EXPECT_FALSE(page->worker());
}

TEST_F(recovery_page, previews_stop_at_five_mebibytes_and_wait_for_a_running_recovery) {
    qv::test::deleted_files_image img;
    std::string why;
    const size_t mib5 = 5 * 1024 * 1024;
    ASSERT_TRUE(qv::test::make_fat_image(
        dir / "fat.img", 16, {"/Big"},
        {{"/Big/exact.txt", std::vector<uint8_t>(mib5, 'a')},
         {"/Big/over.txt", std::vector<uint8_t>(mib5 + 1, 'b')},
         {"/Big/huge.bin", pseudo_random_bytes(12 * 1024 * 1024, 5)}},
        {"/Big/exact.txt", "/Big/over.txt", "/Big/huge.bin"}, &img, &why, 32768))
        << why;
    volume_item_s volume = fat_volume(img.path);
    scan(volume);
    click_folder("Big");
    ASSERT_EQ(page->rows().size(), 3);
    int exact = row_of("#xact.txt"), over = row_of("#ver.txt"), huge = row_of("#uge.bin");
    ASSERT_TRUE(exact >= 0 && over >= 0 && huge >= 0);
    click_cell(exact, 1);
    EXPECT_TRUE(page->preview().ready) << "exactly 5 MiB is previewed";
    EXPECT_EQ(page->preview().text.size(), 8192);
    click_cell(over, 1);
    EXPECT_FALSE(page->preview().ready) << "5 MiB and one byte is not";

    // While the worker copies the big file, a preview waits for it.
    page->table_model()->set_ticked(huge, 1);
    folder = q(dir / "out");
    QDir().mkpath(folder);
    page->on_recovery_clicked();
    ASSERT_TRUE(page->worker()->isRunning());
    click_cell(exact, 1);
    EXPECT_FALSE(page->preview().ready) << "the engine is busy with the recovery";
    EXPECT_EQ(page->scan_volume(volume, false), -1) << "no new scan while recovering";
    ASSERT_TRUE(wait_for([&] { return !opened.isEmpty(); }));
    EXPECT_TRUE(page->preview().ready) << "shown once the recovery has finished";
    EXPECT_EQ(read_file(dir / "out/#uge.bin"), img.deleted.at("/Big/huge.bin"));
}

TEST_F(recovery_page, nothing_found_asks_for_a_deep_scan_unless_stopped_or_left) {
    qv::test::deleted_files_image img;
    std::string why;
    ASSERT_TRUE(qv::test::make_fat_image(dir / "fat.img", 12, {"/Live"}, {{"/Live/a.txt", {'a'}}},
                                         {}, &img, &why))
        << why;
    volume_item_s volume = fat_volume(img.path);
    scan(volume);
    EXPECT_EQ(page->tree_model()->rowCount(), 0) << "an empty result clears the tree";
    if (recovery_window_c::has_engine(engine_kind_deep)) {
        EXPECT_EQ(asked, QStringList{"deep_scan_query"});
    } else {
        EXPECT_TRUE(asked.isEmpty());
    }
    EXPECT_FALSE(page->deep_scan()) << "No keeps the ordinary scan";

    // The user pressed stop: the partial (empty) result is shown, no question.
    asked.clear();
    ASSERT_EQ(page->scan_volume(volume, false), 0);
    page->current_engine()->wait();  // ended before the page has seen it
    page->current_engine()->set_stop(qv::stop_reason::user_stopped);
    ASSERT_TRUE(wait_for([] { return !scan_running; }));
    EXPECT_TRUE(asked.isEmpty());

    // The page was left during the scan: the results are dropped, no question.
    ASSERT_EQ(page->scan_volume(volume, false), 0);
    page->current_engine()->wait();
    page->current_engine()->set_stop(qv::stop_reason::page_left);
    ASSERT_TRUE(wait_for([] { return !scan_running; }));
    EXPECT_TRUE(asked.isEmpty());
    EXPECT_EQ(page->current_engine()->entries_read(), 0u) << "the engine was reset";
}

TEST_F(recovery_page, leaving_drops_results_and_refused_starts_change_nothing) {
    qv::test::deleted_files_image img;
    std::string why;
    ASSERT_TRUE(qv::test::make_fat_image(dir / "fat.img", 12, {"/D"}, {{"/D/x.txt", {'x'}}},
                                         {"/D/x.txt"}, &img, &why))
        << why;
    volume_item_s volume = fat_volume(img.path);
    scan(volume);
    ASSERT_TRUE(folder_index("D").isValid());
    click_folder("D");
    ASSERT_EQ(page->rows().size(), 1);

    page->reset_page();
    EXPECT_EQ(page->tree_model()->rowCount(), 0);
    EXPECT_TRUE(page->rows().isEmpty());
    EXPECT_EQ(page->current_engine()->items_found(), 0u);
    EXPECT_DOUBLE_EQ(page->progress_value(), 0.0);

    volume_item_s other = volume;
    other.file_system = "btrfs";
    EXPECT_EQ(page->scan_volume(other, false), -1) << "no engine reads btrfs, and the deep scan was declined";
    EXPECT_EQ(asked, QStringList{"scan_no_file_system"});
    asked.clear();
    other.file_system = "FAT32X";
    EXPECT_EQ(page->scan_volume(other, false), 0) << "any name beginning with FAT";
    EXPECT_EQ(page->scan_volume(volume, false), -1) << "a scan is running";
    ASSERT_TRUE(wait_for([] { return !scan_running; }));

    // After a scan has ended the pause button scans the same volume again.
    EXPECT_EQ(page->form().btn_pause->text(), language_text("btn_start"));
    page->on_pause_clicked();
    EXPECT_TRUE(scan_running);
    EXPECT_EQ(page->form().btn_pause->text(), language_text("btn_pause"));
    ASSERT_TRUE(wait_for([] { return !scan_running; }));
    EXPECT_TRUE(folder_index("D").isValid());
}

// Deleted files that all lay in the root folder are results: "/" shows them,
// and no deep scan is offered (FAT12, FAT16 and NTFS alike).
TEST_F(recovery_page, deleted_files_only_in_the_root_are_shown_under_the_slash) {
    struct root_case {
        const char* what;
        int fat_bits;  // 0: NTFS
    };
    for (const root_case& c : {root_case{"FAT16", 16}, root_case{"FAT12", 12}, root_case{"NTFS", 0}}) {
        SCOPED_TRACE(c.what);
        qv::test::deleted_files_image img;
        std::string why;
        auto report = pseudo_random_bytes(3000, 21);
        auto photo = pseudo_random_bytes(9000, 22);
        std::string image = dir / (std::string(c.what) + ".img");
        if (c.fat_bits) {
            ASSERT_TRUE(qv::test::make_fat_image(image, c.fat_bits, {},
                                                 {{"/report.doc", report}, {"/photo.jpg", photo}, {"/keep.txt", {'k'}}},
                                                 {"/report.doc", "/photo.jpg"}, &img, &why))
                << why;
        } else if (!qv::test::make_ntfs_image(image,
                                              {{"/report.doc", report}, {"/photo.jpg", photo}, {"/keep.txt", {'k'}}},
                                              {"/report.doc", "/photo.jpg"}, &img, &why)) {
            std::cout << "NTFS row skipped: " << why << "\n";
            continue;
        }
        asked.clear();
        answer_yes = true;  // a question would start a deep scan
        scan(fat_volume(img.path));
        EXPECT_TRUE(asked.isEmpty()) << "files were found: no deep-scan question";
        EXPECT_FALSE(page->deep_scan());
        QModelIndex slash = page->tree_model()->index(0, 0);
        ASSERT_TRUE(slash.isValid());
        EXPECT_EQ(slash.data().toString(), "/");
        click_folder("/");
        QStringList names;
        for (const recovery_item_s& row : page->rows()) names << row.name;
        names.sort();
        if (c.fat_bits)
            EXPECT_EQ(names, (QStringList{"#eport.doc", "#hoto.jpg"}));
        else
            EXPECT_EQ(names, (QStringList{"photo.jpg", "report.doc"}));
        page->reset_page();
    }
}

TEST_F(recovery_page, scans_an_ntfs_image_and_recovers_its_deleted_files) {
    qv::test::deleted_files_image img;
    std::string why;
    auto report = pseudo_random_bytes(70000, 11);  // non-resident data
    if (!qv::test::make_ntfs_image(dir / "ntfs.img",
                                   {{"/Docs/report.doc", report},
                                    {"/Docs/keep.txt", {'k'}},
                                    {"/Docs/tiny.txt", {'t', 'i', 'n', 'y'}}},
                                   {"/Docs/report.doc", "/Docs/tiny.txt"}, &img, &why))
        GTEST_SKIP() << why;
    volume_item_s volume = fat_volume(img.path);
    ASSERT_EQ(volume.file_system, "NTFS");
    scan(volume);
    EXPECT_EQ(page->engine_kind(), int(engine_kind_ntfs));
    EXPECT_TRUE(asked.isEmpty());
    ASSERT_TRUE(folder_index("Docs").isValid());
    EXPECT_FALSE(folder_index("$Extend").isValid()) << "metadata folders never show";
    click_folder("Docs");
    ASSERT_EQ(page->rows().size(), 2) << "live files are left to the file system";
    page->check_all(true);
    folder = q(dir / "out");
    QDir().mkpath(folder);
    page->on_recovery_clicked();
    ASSERT_TRUE(wait_for([&] { return !opened.isEmpty(); }));
    EXPECT_EQ(page->worker()->recovered(), 2);
    EXPECT_EQ(read_file(dir / "out/report.doc"), report);
    EXPECT_EQ(read_file(dir / "out/tiny.txt"), (std::vector<uint8_t>{'t', 'i', 'n', 'y'}));
}

// ext4 as the kernel writes it: the deleted folder comes back in the tree with
// its file, named from the journal, and the recovery writes the exact bytes.
TEST_F(recovery_page, scans_an_ext4_image_and_recovers_deleted_files_under_their_folders) {
    const std::string image = dir / "ext4.img";
    std::string why;
    if (!qv::test::make_ext_image(image, 32, "mkfs.ext4 -q -F", &why)) GTEST_SKIP() << why;
    const auto photo = pseudo_random_bytes(200000, 21);
    const auto note = pseudo_random_bytes(33, 22);
    {
        qv::test::ext_mount m;
        if (!m.mount(image, dir / "mnt", "ext4", &why)) GTEST_SKIP() << why;
        std::filesystem::create_directories(m / "Photos/2024");
        qv::test::write_file(m / "Photos/2024/beach.jpg", photo);
        qv::test::write_file(m / "note.txt", note);
        qv::test::write_file(m / "keep.txt", {'k'});
        ::sync();
        std::filesystem::remove_all(m / "Photos");
        std::filesystem::remove(m / "note.txt");
        ASSERT_TRUE(m.unmount());
    }
    volume_item_s volume = fat_volume(image);
    scan(volume);
    EXPECT_EQ(page->engine_kind(), int(qv::choose_engine("ext4", false)));
    EXPECT_NE(page->engine_kind(), int(engine_kind_deep)) << "ext4 has a scanner of its own";
    EXPECT_TRUE(asked.isEmpty()) << "no deep-scan question when deleted files were found";
    ASSERT_TRUE(folder_index("Photos").isValid());
    click_folder("2024");
    ASSERT_EQ(page->rows().size(), 1);
    EXPECT_EQ(page->rows()[0].name, "beach.jpg");
    page->check_all(true);
    folder = q(dir / "out");
    QDir().mkpath(folder);
    page->on_recovery_clicked();
    ASSERT_TRUE(wait_for([&] { return !opened.isEmpty(); }));
    EXPECT_EQ(page->worker()->recovered(), 1);
    EXPECT_EQ(read_file(dir / "out/beach.jpg"), photo);
}

TEST_F(recovery_page, pause_holds_a_deep_scan_and_stop_ends_it_without_a_question) {
    std::string image = dir / "blank.img";
    ASSERT_EQ(qv::test::run("truncate -s 4G " + qv::test::shell_quote(image)), 0);
    volume_item_s volume = fat_volume(image);
    ASSERT_EQ(page->scan_volume(volume, true), 0);
    recovery_base_c* engine = page->current_engine();
    ASSERT_TRUE(wait_for([&] { return engine->progress() > 0.0 || !scan_running; }));
    ASSERT_TRUE(scan_running) << "the scan ended before it could be paused";
    page->on_pause_clicked();
    EXPECT_EQ(page->form().btn_pause->text(), language_text("btn_resume"));
    QTest::qWait(250);
    double held = engine->progress();
    QTest::qWait(300);
    EXPECT_EQ(engine->progress(), held) << "a paused scan holds";
    page->on_pause_clicked();
    EXPECT_EQ(page->form().btn_pause->text(), language_text("btn_pause"));
    page->on_stop_clicked();
    EXPECT_TRUE(page->form().btn_stop->isHidden());
    ASSERT_TRUE(wait_for([] { return !scan_running; }));
    EXPECT_EQ(engine->stop_state(), qv::stop_reason::user_stopped);
    EXPECT_LT(held, 1.0);
    EXPECT_TRUE(asked.isEmpty());
    EXPECT_DOUBLE_EQ(page->progress_value(), 1.0);
}

// With the "name_from_content" setting a deep scan lists a found document
// under its title; without it, under its number.
TEST_F(recovery_page, a_deep_scan_names_files_after_their_content_when_set) {
    const std::string pdf_text = "%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n"
                                 "2 0 obj\n<< /Type /Pages /Kids [] /Count 0 >>\nendobj\n"
                                 "3 0 obj\n<< /Title (Plan) >>\nendobj\n"
                                 "trailer\n<< /Size 4 /Root 1 0 R /Info 3 0 R >>\n%%EOF\n";
    qv::test::deleted_files_image img;
    std::string why;
    ASSERT_TRUE(qv::test::make_fat_image(dir / "fat.img", 16, {}, {{"/plan.pdf", {pdf_text.begin(), pdf_text.end()}}},
                                         {"/plan.pdf"}, &img, &why))
        << why;
    QSettings* kept = settings;
    QSettings named(q(dir / "settings.ini"), QSettings::IniFormat);
    settings = &named;
    // The deleted document is one the FAT scan lists: only a whole-volume deep scan carves it.
    named.setValue("deep_scan_free_space", false);
    struct row {
        bool on;
        const char* name;
    };
    for (const row& r : {row{true, "Plan.pdf"}, row{false, "00000000.pdf"}}) {
        named.setValue("name_from_content", r.on);
        page->reset_page();
        scan(fat_volume(img.path), true);
        click_folder("pdf");
        ASSERT_EQ(page->rows().size(), 1) << r.on;
        EXPECT_EQ(page->rows()[0].name, r.name);
    }
    settings = kept;
}

// A deep scan reads the volume's free space unless the menu's tick is taken
// off: the live picture and the deleted one the FAT scan lists are left out,
// and only the picture in clusters no entry has ever named is found.
TEST_F(recovery_page, a_deep_scan_reads_only_free_space_unless_unticked) {
    const auto live = qv::test::picture_bytes("PNG", 40, 30), gone = qv::test::picture_bytes("PNG", 64, 48),
               loose = qv::test::picture_bytes("PNG", 90, 70);
    ASSERT_EQ((std::set<size_t>{live.size(), gone.size(), loose.size()}).size(), 3u) << "told apart by size";
    qv::test::deleted_files_image img;
    std::string why;
    ASSERT_TRUE(qv::test::make_fat_image(dir / "fat.img", 16, {}, {{"/live.png", live}, {"/gone.png", gone}},
                                         {"/gone.png"}, &img, &why))
        << why;
    {
        // Halfway into the 16 MiB volume, far past the clusters the two files had.
        std::fstream image(img.path, std::ios::in | std::ios::out | std::ios::binary);
        image.seekp(8 << 20);
        image.write(reinterpret_cast<const char*>(loose.data()), std::streamsize(loose.size()));
        ASSERT_TRUE(image.good());
    }
    qv::test::scoped_setting choice(dir / "settings.ini", "deep_scan_free_space", true);
    choice.file().remove("deep_scan_free_space");
    struct row {
        const char* setting;  // nullptr: never set
        std::multiset<uint64_t> sizes;
    };
    for (const row& r : {row{nullptr, {loose.size()}}, row{"true", {loose.size()}},
                         row{"false", {live.size(), gone.size(), loose.size()}}}) {
        SCOPED_TRACE(r.setting ? r.setting : "not set");
        if (r.setting) choice.file().setValue("deep_scan_free_space", QString(r.setting) == "true");
        page->reset_page();
        scan(fat_volume(img.path), true);
        EXPECT_EQ(page->engine_kind(), int(engine_kind_deep));
        click_folder("png");
        std::multiset<uint64_t> sizes;
        for (const recovery_item_s& item : page->rows()) sizes.insert(item.size);
        EXPECT_EQ(sizes, r.sizes);
    }
}

TEST_F(recovery_page, a_deep_scan_saves_and_resumes_its_result) {
    qv::test::deleted_files_image img;
    std::string why;
    auto picture = qv::test::picture_bytes("PNG", 50, 40);
    ASSERT_TRUE(qv::test::make_fat_image(dir / "fat.img", 16, {"/P"}, {{"/P/a.png", picture}},
                                         {"/P/a.png"}, &img, &why))
        << why;
    // The deleted picture is one the FAT scan lists: only a whole-volume deep scan carves it.
    qv::test::scoped_setting whole_volume(dir / "settings.ini", "deep_scan_free_space", false);
    volume_item_s volume = fat_volume(img.path);
    scan(volume, true);
    EXPECT_EQ(page->engine_kind(), int(engine_kind_deep));
    EXPECT_FALSE(page->form().btn_filter->isHidden()) << "a deep-scan result can be saved";
    ASSERT_TRUE(folder_index("png").isValid());
    click_folder("/");
    EXPECT_TRUE(page->rows().isEmpty()) << "the \"/\" folder of a deep scan has no rows";
    click_folder("png");
    ASSERT_EQ(page->rows().size(), 1);
    EXPECT_EQ(page->rows()[0].name, "00000000.png");

    result_file = q(dir / "result.sav");
    page->on_save_result_clicked();
    ASSERT_TRUE(QFile::exists(result_file));

    page->reset_page();
    enumerate_volumes();  // the saved result finds its volume in the list
    ASSERT_EQ(page->resume_saved_result(), 0);
    EXPECT_TRUE(page->form().btn_pause->isHidden());
    EXPECT_TRUE(page->form().btn_filter->isHidden());
    click_folder("png");
    ASSERT_EQ(page->rows().size(), 1);
    page->table_model()->set_ticked(0, 1);
    folder = q(dir / "out");
    QDir().mkpath(folder);
    page->on_recovery_clicked();
    ASSERT_TRUE(wait_for([&] { return !opened.isEmpty(); }));
    EXPECT_EQ(read_file(dir / "out/00000000.png"), picture);

    qv::test::write_file(dir / "bad.sav", std::vector<uint8_t>(300, 0));
    result_file = q(dir / "bad.sav");
    EXPECT_EQ(page->resume_saved_result(), -1);
    result_file.clear();
    EXPECT_EQ(page->resume_saved_result(), -1) << "cancelled";
}

// A volume no scanner reads (ext4, btrfs, XFS, or nothing the catalog knows):
// Scan says so, naming what was found, and offers the deep scan of that volume.
TEST_F(recovery_page, a_file_system_no_scanner_reads_is_named_and_the_deep_scan_offered) {
    qv::test::deleted_files_image img;
    std::string why;
    auto picture = qv::test::picture_bytes("PNG", 30, 20);
    ASSERT_TRUE(qv::test::make_fat_image(dir / "fat.img", 12, {}, {{"/live.png", picture}}, {}, &img, &why)) << why;
    // The picture is a live file (the probe finds the FAT under the nameless
    // volume): only a whole-volume deep scan carves it.
    qv::test::scoped_setting whole_volume(dir / "settings.ini", "deep_scan_free_space", false);
    QString shown;
    page->prompts().ask = [&](QWidget*, const char* key) {
        asked << key;
        QString text = language_text(key);
        for (const QString& value : std::as_const(*page->prompts().text_args)) text = text.arg(value);
        shown = text;
        return answer_yes;
    };
    for (const char* name : {"btrfs", "xfs", "crypto_LUKS", ""}) {
        SCOPED_TRACE(name);
        volume_item_s volume = fat_volume(img.path);
        volume.file_system = name;
        asked.clear();
        answer_yes = false;
        EXPECT_EQ(page->scan_volume(volume, false), -1);
        EXPECT_EQ(asked, QStringList{"scan_no_file_system"}) << "the page says why nothing starts";
        EXPECT_TRUE(shown.contains(QStringLiteral("(found \"%1\")").arg(QLatin1String(name)))) << shown.toStdString();
        EXPECT_FALSE(scan_running);

        // One click on Yes: the deep scan of the same volume.
        answer_yes = true;
        asked.clear();
        ASSERT_EQ(page->scan_volume(volume, false), 0);
        EXPECT_TRUE(page->deep_scan());
        EXPECT_EQ(page->engine_kind(), int(engine_kind_deep));
        EXPECT_EQ(page->volume().volume_name, volume.volume_name);
        ASSERT_TRUE(wait_for([] { return !scan_running; }));
        EXPECT_TRUE(folder_index("png").isValid()) << "the picture is found by content";
        EXPECT_EQ(asked, QStringList{"scan_no_file_system"});
    }
}

TEST_F(recovery_page, yes_to_the_question_runs_a_deep_scan_of_the_same_volume) {
    qv::test::deleted_files_image img;
    std::string why;
    auto picture = qv::test::picture_bytes("PNG", 30, 20);
    ASSERT_TRUE(
        qv::test::make_fat_image(dir / "fat.img", 12, {}, {{"/live.png", picture}}, {}, &img, &why))
        << why;
    // The picture is a live file: only a whole-volume deep scan carves it.
    qv::test::scoped_setting whole_volume(dir / "settings.ini", "deep_scan_free_space", false);
    answer_yes = true;
    scan(fat_volume(img.path));
    ASSERT_EQ(asked, QStringList{"deep_scan_query"});
    EXPECT_TRUE(page->deep_scan());
    EXPECT_EQ(page->engine_kind(), int(engine_kind_deep));
    ASSERT_TRUE(wait_for([] { return !scan_running; }));
    EXPECT_TRUE(folder_index("png").isValid()) << "the live picture's bytes are found by content";
    EXPECT_EQ(asked.size(), 1) << "a deep scan never asks";
}

TEST_F(recovery_page, the_filter_row_narrows_the_table_ticking_all_and_recovery) {
    qv::test::deleted_files_image img;
    std::string why;
    const auto small_jpg = pseudo_random_bytes(3000, 11), big_jpg = pseudo_random_bytes(60000, 12),
               big_txt = pseudo_random_bytes(70000, 13), png = pseudo_random_bytes(500, 14);
    ASSERT_TRUE(qv::test::make_fat_image(dir / "fat.img", 16, {"/D"},
                                         {{"/D/a.jpg", small_jpg},
                                          {"/D/b.jpg", big_jpg},
                                          {"/D/c.txt", big_txt},
                                          {"/D/d.png", png}},
                                         {"/D/a.jpg", "/D/b.jpg", "/D/c.txt", "/D/d.png"}, &img, &why))
        << why;
    scan(fat_volume(img.path));
    filter_row_c* filters = page->filter_row();
    ASSERT_TRUE(filters);
    EXPECT_TRUE(filters->isVisible());
    EXPECT_EQ(filters->geometry().bottom() + 1 + filter_row_gap, page->table_view()->geometry().top())
        << "the filter row sits right above the table";
    click_folder("D");
    ASSERT_EQ(page->rows().size(), 4);
    EXPECT_TRUE(filters->count_label()->text().isEmpty());

    filters->type_field()->setText("JPEG");
    ASSERT_EQ(page->rows().size(), 2);
    for (const auto& r : page->rows()) EXPECT_TRUE(r.name.endsWith(".jpg")) << r.name.toStdString();
    filters->min_size_field()->setText("50K");
    ASSERT_EQ(page->rows().size(), 1);
    EXPECT_EQ(page->rows()[0].size, big_jpg.size());
    EXPECT_EQ(filters->count_label()->text(), language_text("filter_shown").arg(1).arg(4));

    // Ticking all ticks only what is shown, and only that is recovered.
    click_header(10);
    EXPECT_EQ(page->rows()[0].ticked, 1u);
    folder = q(dir / "out");
    QDir().mkpath(folder);
    page->on_recovery_clicked();
    ASSERT_TRUE(page->worker());
    ASSERT_TRUE(wait_for([&] { return !page->worker()->isRunning() && !opened.isEmpty(); }));
    EXPECT_EQ(QDir(folder).entryList(QDir::Files), QStringList{"#.jpg"});
    EXPECT_EQ(read_file(dir / "out/#.jpg"), big_jpg);

    // A wider filter shows more again and the shown rows keep their ticks;
    // the scan's result is untouched.
    filters->min_size_field()->clear();
    ASSERT_EQ(page->rows().size(), 2);
    int ticked = 0;
    for (const auto& r : page->rows()) ticked += int(r.ticked);
    EXPECT_EQ(ticked, 1);
    filters->clear_button()->click();
    EXPECT_EQ(page->rows().size(), 4);
    EXPECT_TRUE(filters->count_label()->text().isEmpty());

    // A filter that nothing passes leaves an empty table, and the folder stays in the tree.
    filters->name_field()->setText("no such name");
    EXPECT_EQ(page->rows().size(), 0);
    EXPECT_TRUE(folder_index("D").isValid());
    page->grab();
}

}  // namespace
