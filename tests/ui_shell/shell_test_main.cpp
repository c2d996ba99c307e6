// The shell tests' entry: an offscreen QApplication, the English texts, the
// skin images, and settings and data folders of their own.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QDir>

#include "app/language_settings.hpp"
#include "devices/device_catalog.hpp"
#include "devices/volume_items.hpp"
#include "partition/partition_item.hpp"
#include "ui/skin_resources.hpp"

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Language choices and partition backups go to a folder of this run, not the user's.
    QByteArray home = QDir::temp().filePath("quorvane-shell-test-XXXXXX").toLocal8Bit();
    if (!mkdtemp(home.data())) return 2;
    qputenv("XDG_CONFIG_HOME", home + "/config");
    qputenv("XDG_DATA_HOME", home + "/data");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName("Quorvane");
    qv::ui::init_skin_resources();
    qv::register_device_meta_types();
    qv::partition::register_partition_meta_types();
    qv::device_catalog::shared().set_block_devices_enabled(false);
    // language.ini lies in the program's folder, the tests' working directory.
    load_language_file("English", false);
    load_language_file("English", true);
    int result = RUN_ALL_TESTS();
    QDir(QString::fromLocal8Bit(home)).removeRecursively();
    return result;
}
