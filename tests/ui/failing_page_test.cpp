// The recovery page and the imaging dialog with failing media: a deep scan that
// an interruption left goes on where it stopped when the user says so; a file
// over unreadable sectors is recovered with zeros and reported damaged; a disk
// that vanishes mid-scan is reported and what was found stays; a drive saved
// as an image comes back byte for byte.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <algorithm>

#include "app/language_settings.hpp"
#include "devices/device_catalog.hpp"
#include "devices/device_handle.hpp"
#include "engine/deep_checkpoint.hpp"
#include "imaging/image_thread.hpp"
#include "tests/engine/fat_scan.hpp"
#include "tests/support/faulty_disk.hpp"
#include "tests/ui/ui_test_support.hpp"
#include "ui/image_dialog.hpp"
#include "ui/recovery_base.hpp"
#include "ui/recovery_window.hpp"
#include "ui/recovery_worker.hpp"
#include "ui/scan_state.hpp"
#include "ui/shell_prompts.hpp"
#include "ui/tree_model.hpp"

using qv::ui::image_dialog_c;
using qv::ui::recovery_prompts_s;
using qv::ui::shell_prompts;

namespace {

using qv::test::pseudo_random_bytes;
using qv::test::read_file;
using qv::test::wait_for;

class failing_page : public ::testing::Test {
protected:
    void SetUp() override {
        QV_REQUIRE_MTOOLS();
        page = std::make_unique<recovery_window_c>(nullptr);
        page->resize(794, 496);
        page->show();
        recovery_prompts_s& p = page->prompts();
        p.ask = [this](QWidget*, const char* key) {
            asked << key;
            asked_args << page->prompts().text_args->join("|");
            return answer_yes;
        };
        p.tell = [this](QWidget*, const char* key) {
            told << key;
            told_args << page->prompts().text_args->join("|");
        };
        p.choose_folder = [this](QWidget*) { return folder; };
        p.open_folder = [this](const QString& f) { opened << f; };
    }
    void TearDown() override {
        if (page) wait_for([&] { return !scan_running && !(page->worker() && page->worker()->isRunning()); });
        page.reset();
    }
    void scan(const volume_item_s& volume, bool deep) {
        ASSERT_EQ(page->scan_volume(volume, deep), 0);
        ASSERT_TRUE(wait_for([] { return !scan_running; })) << "the scan did not end";
    }
    // Shows the folder's rows, ticks them all and recovers them into folder.
    void recover_all_of(const QString& title) {
        folder = QString::fromStdString(dir / "out");
        QDir().mkpath(folder);
        TreeModel* m = page->tree_model();
        QModelIndex shown;
        for (int i = 0; i < m->rowCount({}) && !shown.isValid(); ++i)
            for (int k = 0; k < m->rowCount(m->index(i, 0)); ++k)
                if (m->index(k, 0, m->index(i, 0)).data().toString() == title) shown = m->index(k, 0, m->index(i, 0));
        ASSERT_TRUE(shown.isValid()) << title.toStdString();
        page->on_tree_clicked(shown);
        ASSERT_FALSE(page->rows().isEmpty());
        page->check_all(true);
        page->on_recovery_clicked();
        ASSERT_TRUE(page->worker());
        ASSERT_TRUE(wait_for([&] { return !page->worker()->isRunning() && !opened.isEmpty(); }));
    }
    // A FAT image holding one deleted file of random bytes, and where they lie.
    uint64_t make_image(std::vector<uint8_t>* bytes, int kib = 0) {
        *bytes = pseudo_random_bytes(300000, 16);
        std::string why;
        EXPECT_TRUE(qv::test::make_fat_image(dir / "fat.img", 16, {"/d"}, {{"/d/big.bin", *bytes}}, {"/d/big.bin"},
                                             &img, &why, kib))
            << why;
        const auto image = read_file(img.path);
        auto at = std::search(image.begin(), image.end(), bytes->begin(), bytes->end());
        EXPECT_NE(at, image.end()) << "the file's bytes lie in one piece";
        return uint64_t(at - image.begin());
    }

    qv::test::temp_dir dir;
    qv::test::deleted_files_image img;
    std::unique_ptr<recovery_window_c> page;
    QStringList asked, asked_args, told, told_args, opened;
    bool answer_yes = false;
    QString folder;
};

TEST_F(failing_page, an_interrupted_deep_scan_is_offered_and_goes_on_from_its_checkpoint) {
    auto picture = qv::test::picture_bytes("PNG", 64, 48);
    std::string why;
    ASSERT_TRUE(qv::test::make_fat_image(dir / "deep.img", 16, {"/p"},
                                         {{"/p/a.png", picture}, {"/p/b.png", qv::test::picture_bytes("PNG", 80, 60)}},
                                         {}, &img, &why))
        << why;
    // The pictures are live files: a whole-volume deep scan finds them (its
    // checkpoints are whole-volume ones too).
    qv::test::scoped_setting whole_volume(dir / "settings.ini", "deep_scan_free_space", false);
    const volume_item_s volume = qv::test::open_test_volume(img.path);
    scan(volume, true);
    EXPECT_TRUE(asked.isEmpty()) << "no checkpoint yet: nothing to offer";
    const size_t whole = page->current_engine()->found_items().size();
    ASSERT_GE(whole, 2u);

    // What an interruption at the volume's end with one file found would have left.
    QString device = volume.volume_name;
    if (device.endsWith('\\')) device.chop(1);
    const std::string path = device.toLocal8Bit().toStdString();
    auto handle = qv::device_catalog::shared().open(path, qv::access_mode::read_only);
    ASSERT_TRUE(handle);
    qv::deep_checkpoint checkpoint;
    checkpoint.device_path = path;
    checkpoint.device_length = handle->length();
    checkpoint.position = checkpoint.search_from = checkpoint.device_length;
    raw_item_s first{};
    const auto& found = page->current_engine()->found_items();
    first.index = 0;
    first.offset = found[0].offset;
    first.size = found[0].size;
    std::copy_n(found[0].type.c_str(), std::min<size_t>(found[0].type.size(), sizeof first.type), first.type);
    checkpoint.reported_end = first.offset + first.size;
    checkpoint.records = {first};
    const std::string file = qv::deep_checkpoint_path({}, path);

    struct row {
        bool yes;
        size_t expected;
    };
    for (const row& r : {row{false, whole}, row{true, 1}}) {
        ASSERT_EQ(qv::write_deep_checkpoint(file, checkpoint), 0);
        asked.clear();
        asked_args.clear();
        answer_yes = r.yes;
        scan(volume, true);
        ASSERT_EQ(asked, QStringList{"deep_resume_query"});
        EXPECT_EQ(asked_args, QStringList{"100.0%"});
        EXPECT_EQ(page->current_engine()->found_items().size(), r.expected)
            << (r.yes ? "went on from the checkpoint's end with its one file" : "started afresh");
        EXPECT_FALSE(QFile::exists(QString::fromStdString(file))) << "a finished scan leaves no checkpoint";
    }
}

TEST_F(failing_page, a_file_over_unreadable_sectors_is_recovered_with_zeros_and_reported_damaged) {
    std::vector<uint8_t> bytes;
    const uint64_t at = make_image(&bytes);
    const uint64_t bad = (at + 100000) / 4096 * 4096;
    qv::test::faulty_options options;
    options.bad.push_back({bad, 4096, 0});
    qv::test::faulty_disk disk;
    QV_MOUNT_FAULTY(disk, img.path, dir / "mnt", options);
    scan(qv::test::open_test_volume(disk.path()), false);
    EXPECT_TRUE(told.isEmpty()) << told.join(",").toStdString();
    recover_all_of("d");
    EXPECT_EQ(told, QStringList{"recovery_damaged"});
    EXPECT_EQ(told_args, QStringList{"1"}) << "one file has unreadable parts";
    ASSERT_EQ(page->rows().size(), 1);
    EXPECT_EQ(page->rows()[0].state, qv::item_state::damaged) << "its row shows it";
    std::fill(bytes.begin() + (bad - at), bytes.begin() + (bad - at) + 4096, 0);
    const QStringList out = QDir(folder).entryList(QDir::Files);
    ASSERT_EQ(out.size(), 1);
    EXPECT_EQ(read_file((folder + "/" + out[0]).toStdString()), bytes);
}

TEST_F(failing_page, a_disk_that_vanishes_mid_scan_is_reported_and_what_was_found_stays) {
    std::vector<uint8_t> bytes;
    make_image(&bytes, 16384);
    qv::test::faulty_options options;
    // Past what finding the volume reads, halfway through a deep scan's reading.
    options.vanish_after = 8u << 20;
    qv::test::faulty_disk disk;
    QV_MOUNT_FAULTY(disk, img.path, dir / "mnt", options);
    scan(qv::test::open_test_volume(disk.path()), true);
    EXPECT_EQ(told, QStringList{"scan_device_gone"});
    EXPECT_TRUE(page->current_engine()->device_vanished());
    EXPECT_GT(page->current_engine()->progress(), 0.0);
}

TEST(image_dialog, a_drive_saved_as_an_image_comes_back_byte_for_byte_with_its_map) {
    qv::test::temp_dir dir;
    const auto source = pseudo_random_bytes(3 << 20, 5);
    qv::test::write_file(dir / "source.img", source);
    // The question at the end is answered No, and remembered.
    std::vector<std::string> questions;
    auto saved = shell_prompts();
    shell_prompts().message = [&](QWidget*, const QString&, const char* key, QMessageBox::StandardButtons,
                                  const QString&) {
        questions.push_back(key);
        return QMessageBox::No;
    };
    image_dialog_c dialog;
    dialog.start_imaging(QString::fromStdString(dir / "source.img"), QString::fromStdString(dir / "copy.img"));
    ASSERT_TRUE(wait_for([&] { return !dialog.running(); }));
    // The end of the copy is handled on the event loop.
    ASSERT_TRUE(wait_for([&] { return !questions.empty(); }));
    shell_prompts() = saved;
    EXPECT_EQ(questions, std::vector<std::string>{"image_open_now"});
    EXPECT_EQ(read_file(dir / "copy.img"), source);
    EXPECT_TRUE(QFile::exists(QString::fromStdString(dir / "copy.img.map")));
    EXPECT_EQ(dialog.worker().outcome().result, qv::imaging::imaging_result::finished);
    EXPECT_EQ(dialog.status_text(), language_text("image_done"));
}

}  // namespace
