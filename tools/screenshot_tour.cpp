// quorvane-screenshots OUTDIR: walks the desktop window through its pages on
// the images named in QUORVANE_IMAGES (made by scripts/screenshots.sh) and
// saves one screenshot of each: the home page, the volume list, the results
// of a real scan with a preview, and the partitions a real search found.
#include <QApplication>
#include <QElapsedTimer>
#include <QListView>
#include <QTableView>
#include <QThread>
#include <QTreeView>

#include <cstdio>
#include <functional>

#include "app/init_worker.hpp"
#include "app/language_settings.hpp"
#include "devices/device_catalog.hpp"
#include "devices/volume_items.hpp"
#include "engine/sector_device.hpp"
#include "partition/partition_item.hpp"
#include "ui/drive_window.hpp"
#include "ui/main_window.hpp"
#include "ui/partition_window.hpp"
#include "ui/recovery_window.hpp"
#include "ui/scan_state.hpp"
#include "ui/skin_resources.hpp"
#include "ui/volume_window.hpp"

namespace {

// Serves events until done() holds or ms have passed; returns done().
bool settle(const std::function<bool()>& done, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(20);
    }
    return done();
}

void pause(int ms) {
    settle([] { return false; }, ms);
}

bool shoot(QWidget* window, const QString& file) {
    pause(400);
    bool ok = window->grab().save(file, "PNG");
    std::fprintf(stderr, "%s %s\n", ok ? "saved" : "CANNOT SAVE", file.toLocal8Bit().constData());
    return ok;
}

// Makes the row whose text (the item's path) ends with `ending` current.
bool pick_row(QAbstractItemView* view, const std::function<bool(const QModelIndex&)>& wanted) {
    auto* model = view->model();
    for (int row = 0; model && row < model->rowCount(); ++row) {
        QModelIndex index = model->index(row, 0);
        if (wanted(index)) {
            view->setCurrentIndex(index);
            return true;
        }
    }
    return false;
}

bool fail(const char* what) {
    std::fprintf(stderr, "quorvane-screenshots: %s\n", what);
    return false;
}

bool tour(main_window_c& window, const QString& out) {
    if (!settle([] { return init_ready.load() == 1; }, 60000)) return fail("the drives were not listed in time");
    pause(500);
    bool ok = shoot(&window, out + "/screenshot-home.png");

    window.on_click_home_start();
    QListView* volumes = window.volumes()->form().list;
    if (!pick_row(volumes, [](const QModelIndex& i) {
            return i.data().value<volume_item_s>().device_name.endsWith("card.img");
        }))
        return fail("the card image is not in the volume list");
    ok = shoot(&window, out + "/screenshot-volumes.png") && ok;

    window.on_click_volume_scan();
    pause(300);
    if (!settle([] { return !scan_running; }, 120000)) return fail("the scan did not end");
    pause(500);
    // The folder with the photos, then the first picture in it, for the preview.
    auto* tree = window.recovery()->findChild<QTreeView*>();
    auto* table = window.recovery()->findChild<QTableView*>();
    if (!tree || !table) return fail("the results page has no tree or table");
    std::function<QModelIndex(const QModelIndex&)> find_folder = [&](const QModelIndex& parent) -> QModelIndex {
        for (int r = 0; r < tree->model()->rowCount(parent); ++r) {
            QModelIndex i = tree->model()->index(r, 0, parent);
            if (i.data().toString().contains("PHOTOS", Qt::CaseInsensitive)) return i;
            if (QModelIndex deeper = find_folder(i); deeper.isValid()) return deeper;
        }
        return {};
    };
    tree->expandAll();
    QModelIndex photos = find_folder(QModelIndex());
    if (photos.isValid()) {
        tree->setCurrentIndex(photos);
        window.recovery()->on_tree_clicked(photos);
        pause(300);
    }
    for (int r = 0; r < table->model()->rowCount(); ++r) {
        QModelIndex name = table->model()->index(r, 1);
        if (name.data().toString().endsWith(".JPG", Qt::CaseInsensitive)) {
            table->setCurrentIndex(name);
            window.recovery()->on_list_clicked(name);
            break;
        }
    }
    pause(1500);
    ok = shoot(&window, out + "/screenshot-results.png") && ok;

    window.on_click_recovery_back();
    window.show_page(main_window_c::drive_page);
    QListView* drives = window.drives()->form().list;
    if (!pick_row(drives, [](const QModelIndex& i) {
            return i.data().value<drive_item_s>().name.endsWith("lost-partitions.img");
        }))
        return fail("the drive image is not in the drive list");
    window.on_click_drive_scan();
    pause(300);
    if (!settle([&] { return !window.partitions()->searching(); }, 120000)) return fail("the search did not end");
    return shoot(&window, out + "/screenshot-partitions.png") && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: quorvane-screenshots OUTDIR (run by scripts/screenshots.sh)\n");
        return 2;
    }
    QCoreApplication::setApplicationName("Quorvane");
    load_settings();
    QApplication app(argc, argv);
    qv::ui::init_skin_resources();
    qv::register_device_meta_types();
    qv::partition::register_partition_meta_types();
    qv::device_catalog::shared().apply_environment();

    int rc = 1;
    {
        main_window_c window;
        init_c worker;
        QObject::connect(&worker, &init_c::init_finished, &window, &main_window_c::on_init_finished);
        worker.start();
        window.show();
        rc = tour(window, QString::fromLocal8Bit(argv[1])) ? 0 : 1;
        window.stop_background_work();
        worker.wait();
    }
    qv::close_physical_drives();
    return rc;
}
