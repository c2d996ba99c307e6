#include "ui/main_window.hpp"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QGridLayout>
#include <QMenu>
#include <QSocketNotifier>
#include <QTimer>

#include "app/language_settings.hpp"
#include "devices/device_catalog.hpp"
#include "devices/media_monitor.hpp"
#include "devices/volume_items.hpp"
#include "engine/sector_device.hpp"
#include "engine/volume_free_space.hpp"
#include "imaging/image_thread.hpp"
#include "partition/mbr_undo.hpp"
#include "partition/mbr_writer.hpp"
#include "partition/partition_repair.hpp"
#include "ui/drive_window.hpp"
#include "ui/home_window.hpp"
#include "ui/image_dialog.hpp"
#include "ui/partition_window.hpp"
#include "ui/recovery_base.hpp"
#include "ui/recovery_window.hpp"
#include "ui/recovery_worker.hpp"
#include "ui/scan_control.hpp"
#include "ui/scan_state.hpp"
#include "ui/shell_prompts.hpp"
#include "ui/volume_window.hpp"

using qv::ui::image_dialog_c;
using qv::ui::scan_control_c;
using qv::ui::shell_message;
using qv::ui::shell_prompts;

namespace {

// Stop value for a scan whose page is left: the engine ends and its results are dropped.

}  // namespace

main_window_c::main_window_c(QWidget* parent) : QSkinWidget(parent) {
    setObjectName("MainForm");
    resize(800, 600);
    setMinimumSize(800, 600);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    setMouseTracking(true);
    setWindowTitle("Tessaline");
    grid_ = new QGridLayout(this);
    grid_->setObjectName("gridLayout");
    grid_->setSpacing(0);
    grid_->setContentsMargins(0, 0, 0, 0);

    home_ = new home_window_c(this, this);
    volumes_ = new volume_window_c(this, this);
    drives_ = new drive_window_c(this, this);
    partitions_ = new partition_window_c(this, this);
    recovery_ = new recovery_window_c(this, this);
    for (QWidget* p : {static_cast<QWidget*>(home_), static_cast<QWidget*>(volumes_),
                       static_cast<QWidget*>(drives_), static_cast<QWidget*>(partitions_),
                       static_cast<QWidget*>(recovery_)}) {
        // Hidden pages keep their place in the cell, so each is laid out before it is shown.
        QSizePolicy policy = p->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        p->setSizePolicy(policy);
        grid_->addWidget(p, 0, 0, 1, 1);
        if (p != home_) p->hide();
    }
    home_->raise();
    current_ = home_;
    setWindowIcon(QIcon(":/images/top.ico"));
    add_open_image_entry();
}

main_window_c::~main_window_c() {
    stop_background_work();
    delete media_notifier_;  // before the monitor closes the socket it watches
}

void main_window_c::add_open_image_entry() {
    QAction* first = menu()->actions().value(0);
    auto* open = new QAction(language_text("menu_open_image"), menu());
    connect(open, &QAction::triggered, this, &main_window_c::on_click_open_image);
    menu()->insertAction(first, open);
    menu()->insertSeparator(first);
    // The drive tools follow the settings that were there (the language submenu), apart.
    QAction* after_first = menu()->actions().value(3);
    auto* save = new QAction(language_text("menu_save_image"), menu());
    save->setObjectName("SaveImageAction");
    connect(save, &QAction::triggered, this, &main_window_c::on_click_save_image);
    auto* restore = new QAction(language_text("menu_restore_mbr"), menu());
    restore->setObjectName("RestoreMbrAction");
    connect(restore, &QAction::triggered, this, &main_window_c::on_click_restore_mbr);
    menu()->insertSeparator(after_first);
    menu()->insertAction(after_first, save);
    menu()->insertAction(after_first, restore);
    // The deep scan's choices sit apart from the drive tools. Deep scans name
    // what they find after its content when this is ticked; it is kept in the
    // settings file for the next start.
    menu()->insertSeparator(after_first);
    add_setting_tick(after_first, "menu_name_from_content", "NameFromContentAction", "name_from_content",
                     scan_control_c::name_from_content_setting());
    // Deep scans leave out what the file system lists while this is ticked
    // (the default); unticked they read the whole volume.
    add_setting_tick(after_first, "menu_deep_free_space", "FreeSpaceOnlyAction", "deep_scan_free_space",
                     scan_control_c::free_space_setting());
}

void main_window_c::add_setting_tick(QAction* before, const char* text_key, const char* object_name,
                                     const char* setting, bool checked) {
    auto* tick = new QAction(language_text(text_key), menu());
    tick->setObjectName(object_name);
    tick->setCheckable(true);
    tick->setChecked(checked);
    const QString key = QString::fromLatin1(setting);
    connect(tick, &QAction::toggled, this, [key](bool on) {
        if (!settings) return;
        settings->setValue(key, on);
        settings->sync();
    });
    menu()->insertAction(before, tick);
}

QWidget* main_window_c::page(int index) const {
    switch (index) {
    case home_page: return home_;
    case volume_page: return volumes_;
    case drive_page: return drives_;
    case partition_page: return partitions_;
    case recovery_page: return recovery_;
    default: return nullptr;
    }
}

void main_window_c::show_page(int index) {
    QWidget* next = page(index);
    if (!next) return;
    if (current_) current_->hide();
    next->raise();
    current_ = next;
    next->show();
    update();
}

void main_window_c::leave_recovery_page() {
    if (scan_running) recovery_->current_engine()->set_stop(qv::stop_reason::page_left);
    recovery_->reset_page();
}

void main_window_c::stop_background_work() {
    if (recovery_) {
        if (recovery_base_c* engine = recovery_->current_engine(); engine && engine->isRunning()) {
            engine->set_stop(qv::stop_reason::page_left);
            engine->wait();
        }
        // A recovery has no stop of its own; it copies what is ticked and ends.
        if (recovery_file_c* worker = recovery_->worker(); worker && worker->isRunning()) worker->wait();
    }
    if (partitions_) partitions_->stop_search();
    if (image_dialog_ && image_dialog_->running()) {
        image_dialog_->worker().request_stop();  // the map is saved; the copy goes on next time
        image_dialog_->worker().wait();
    }
}

void main_window_c::closeEvent(QCloseEvent* event) {
    // The window system's own close comes here without asking; no thread may outlive the window.
    const bool busy = scan_running || partitions_->searching() ||
                      (recovery_->worker() && recovery_->worker()->isRunning());
    if (busy) QApplication::setOverrideCursor(Qt::WaitCursor);
    stop_background_work();
    if (busy) QApplication::restoreOverrideCursor();
    QSkinWidget::closeEvent(event);
}

// ---- home page ----

void main_window_c::on_click_home_start() {
    if (!init_ready) {
        shell_message(this, "Quorvane", "startup_warning");
        return;
    }
    show_page(volume_page);
}

void main_window_c::on_click_home_resume() {
    if (!init_ready) {
        shell_message(this, "Quorvane", "startup_warning");
        return;
    }
    if (recovery_->resume_saved_result() == -1) return;
    show_page(recovery_page);
}

// ---- volume page ----

void main_window_c::on_click_volume_back() { show_page(home_page); }

void main_window_c::on_click_volume_refresh() { volumes_->refresh_volumes(); }

void main_window_c::on_click_volume_scan() {
    const auto volume = volumes_->selected_volume();
    if (!volume) return;
    if (volume->device_name.isEmpty()) {
        shell_message(nullptr, "Tessaline", "main_warning2", QMessageBox::NoButton);
        return;
    }
    if (recovery_->scan_volume(*volume, deep_scan_requested) == 0) show_page(recovery_page);
}

// ---- drive and partition pages ----

void main_window_c::on_click_drive_back() { show_page(home_page); }

void main_window_c::on_click_drive_refresh() { drives_->refresh_drives(); }

void main_window_c::on_click_drive_scan() {
    const auto drive = drives_->selected_drive();
    if (!drive || drive->name.isEmpty()) {
        shell_message(nullptr, "Tessaline", "main_warning1", QMessageBox::NoButton);
        return;
    }
    partitions_->start_search(*drive);
    show_page(partition_page);
}

void main_window_c::on_click_partition_back() {
    partitions_->stop_search();
    show_page(volume_page);
}

// ---- recovery page ----

void main_window_c::on_click_recovery_back() {
    if (scan_running &&
        shell_message(this, "Quorvane", "back_warning", QMessageBox::Yes | QMessageBox::No) == QMessageBox::No)
        return;
    leave_recovery_page();
    show_page(volume_page);
}

// ---- start-up and images ----

void main_window_c::on_init_finished() {
    volumes_->set_volume_list();
    drives_->set_drive_list();
    // Cards and sticks plugged in or pulled out show up without Refresh.
    if (media_) return;
    media_ = std::make_unique<qv::media_monitor>();
    if (!media_->start()) return;
    media_notifier_ = new QSocketNotifier(media_->fd(), QSocketNotifier::Read, this);
    connect(media_notifier_, &QSocketNotifier::activated, this, &main_window_c::on_media_changed);
}

// A moment for the events of one change (a disk and its partitions, a loop
// device's size) to arrive before the lists are made once.
static constexpr int media_settle_ms = 300;

void main_window_c::on_media_changed() {
    if (!media_ || media_->take_events().empty()) return;
    qv::check_media();
    if (relist_pending_) return;
    relist_pending_ = true;
    QTimer::singleShot(media_settle_ms, this, [this] {
        relist_pending_ = false;
        // The lists stay as they are under running work; its own reads see a drive that went away.
        if (!device_work_running()) relist_devices();
    });
}

bool main_window_c::device_work_running() const {
    return scan_running || partitions_->searching() || (recovery_->worker() && recovery_->worker()->isRunning()) ||
           (image_dialog_ && image_dialog_->running());
}

void main_window_c::relist_devices() {
    enumerate_volumes();
    qv::count_unmounted_free_space(volume_items);
    enumerate_drives();
    reopen_physical_drives();
    volumes_->set_volume_list();
    drives_->set_drive_list();
}

void main_window_c::on_click_open_image() {
    if (!init_ready) {
        shell_message(this, "Quorvane", "startup_warning");
        return;
    }
    const QString path = shell_prompts().choose_image(this);
    if (path.isEmpty()) return;
    open_image_path(path);
}

bool main_window_c::open_image_path(const QString& path) {
    std::string error;
    if (qv::device_catalog::shared().open_image(QFile::encodeName(path).toStdString(), &error) < 0) {
        shell_message(this, "Quorvane", "open_image_failed", QMessageBox::Ok, QString::fromStdString(error));
        return false;
    }
    relist_devices();
    return true;
}

void main_window_c::on_click_save_image() {
    if (!init_ready) {
        shell_message(this, "Quorvane", "startup_warning");
        return;
    }
    if (!image_dialog_) {
        image_dialog_ = new image_dialog_c(this);
        connect(image_dialog_, &image_dialog_c::open_image_requested, this, [this](const QString& path) {
            if (!open_image_path(path)) return;
            image_dialog_->hide();
            show_page(volume_page);
        });
    } else if (!image_dialog_->running()) {
        image_dialog_->list_sources();
    }
    image_dialog_->show();
    image_dialog_->raise();
}

void main_window_c::on_click_restore_mbr() {
    if (!init_ready) {
        shell_message(this, "Quorvane", "startup_warning");
        return;
    }
    const QString backup = shell_prompts().choose_sector_backup(this);
    if (backup.isEmpty()) return;
    QString drive;
    QString record_error;
    if (auto record = qv::partition::load_undo_record(backup, &record_error); record && !record->drive.path.isEmpty())
        drive = record->drive.path;
    else if (auto chosen = drives_->selected_drive())
        drive = chosen->name;
    if (drive.isEmpty()) {
        shell_message(this, "Quorvane", "main_warning1");
        return;
    }
    qv::partition::repair_report report;
    if (qv::partition::restore_partition_table(drive, backup, qv::partition::default_backup_dir(), &report) == 0) {
        QString detail = drive;
        if (!report.backup_path.isEmpty())
            detail += "\n" + (language_text("partition_backup") + " " + report.backup_path).trimmed();
        shell_message(this, "Quorvane", "restore_mbr_done", QMessageBox::Ok, detail);
    } else {
        shell_message(this, "Quorvane", "restore_mbr_refused", QMessageBox::Ok, report.error);
    }
}
