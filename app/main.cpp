// The desktop program's entry: one copy at a time, settings and languages
// before the application object, the window at once, disks found behind it.
#include <QApplication>

#include "app/init_worker.hpp"
#include "app/language_settings.hpp"
#include "app/single_instance.hpp"
#include "devices/device_catalog.hpp"
#include "devices/volume_items.hpp"
#include "engine/sector_device.hpp"
#include "partition/partition_item.hpp"
#include "ui/main_window.hpp"
#include "ui/open_notice_board.hpp"
#include "ui/skin_resources.hpp"

int main(int argc, char** argv) {
    QCoreApplication::setApplicationName("Quorvane");
    bool other_copy = false;
    auto lock = qv::take_instance_lock(&other_copy);
    if (other_copy) return -1;

    load_settings();
    auto* app = new QApplication(argc, argv);
    qv::ui::init_skin_resources();
    qv::register_device_meta_types();
    qv::partition::register_partition_meta_types();
    qv::device_catalog::shared().apply_environment();
    qv::ui::open_notice_board::shared().install();

    auto* window = new main_window_c;
    auto* worker = new init_c;
    QObject::connect(worker, &init_c::init_finished, window, &main_window_c::on_init_finished);
    worker->start(QThread::InheritPriority);
    window->show();
    int result = app->exec();

    // The window may close before the worker is done: let it finish first.
    worker->wait();
    delete worker;
    delete window;
    qv::device_catalog::shared().set_open_notice({});
    delete app;
    qv::close_physical_drives();
    return result;
}
