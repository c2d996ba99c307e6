#pragma once
// The application's one window: five pages in one place, the navigation
// between them with its warnings, and the window menu.

#include <memory>

#include "ui/skin_widget.hpp"

namespace qv {
class media_monitor;
}
namespace qv::ui {
class image_dialog_c;
}
class QSocketNotifier;

class QAction;
class QGridLayout;
class drive_window_c;
class home_window_c;
class partition_window_c;
class recovery_window_c;
class volume_window_c;

class main_window_c : public QSkinWidget {
    Q_OBJECT
public:
    enum page_index { home_page = 0, volume_page = 1, drive_page = 2, partition_page = 3, recovery_page = 4 };

    explicit main_window_c(QWidget* parent = nullptr);
    ~main_window_c() override;

    // Hides the current page and shows the one with that index; others are ignored.
    void show_page(int index) override;
    // Stops a running scan (stop value 2, its results are dropped) and empties the recovery page.
    void leave_recovery_page() override;

    QWidget* current_page() const { return current_; }
    QWidget* page(int index) const;
    home_window_c* home() const { return home_; }
    volume_window_c* volumes() const { return volumes_; }
    drive_window_c* drives() const { return drives_; }
    partition_window_c* partitions() const { return partitions_; }
    recovery_window_c* recovery() const { return recovery_; }

    // Ends every thread the pages run (a scan with stop value 2, a recovery, the
    // partition search) and waits for them. Called on every close.
    void stop_background_work();

public slots:
    void on_click_home_start();
    void on_click_home_resume();
    void on_click_volume_back();
    void on_click_recovery_back();
    void on_click_volume_refresh();
    void on_click_volume_scan();
    void on_click_drive_scan();
    void on_click_drive_refresh();
    void on_click_drive_back();
    void on_click_partition_back();
    void on_init_finished();
    // "menu_open_image": opens a disk image file as a drive and lists it with its volumes.
    void on_click_open_image();
    // Opens path as a drive and lists it; false (after saying so) when it cannot be opened.
    bool open_image_path(const QString& path);
    // "menu_save_image": copies a drive or volume into an image file (see image_dialog_c).
    void on_click_save_image();
    // "menu_restore_mbr": puts a saved first sector back on the drive its undo
    // record names (else the drive chosen on the drive page).
    void on_click_restore_mbr();
    // The system reported block devices coming, going or changing medium: drives
    // whose medium has gone are marked, and the lists are made again within a
    // moment unless work on a device is running.
    void on_media_changed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void add_open_image_entry();
    // A checkable menu entry before `before` that writes its state to `setting` in the settings file.
    void add_setting_tick(QAction* before, const char* text_key, const char* object_name, const char* setting,
                          bool checked);
    // Lists drives and volumes again and reopens the sector table (Refresh of both pages).
    void relist_devices();
    // True while a scan, a recovery, the partition search or an image copy uses a device.
    bool device_work_running() const;
    std::unique_ptr<qv::media_monitor> media_;
    QSocketNotifier* media_notifier_ = nullptr;
    bool relist_pending_ = false;
    qv::ui::image_dialog_c* image_dialog_ = nullptr;

    QGridLayout* grid_ = nullptr;
    home_window_c* home_ = nullptr;
    volume_window_c* volumes_ = nullptr;
    drive_window_c* drives_ = nullptr;
    partition_window_c* partitions_ = nullptr;
    recovery_window_c* recovery_ = nullptr;
    QWidget* current_ = nullptr;
};
