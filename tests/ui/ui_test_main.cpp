// The ui tests' entry: a QApplication (offscreen), the English texts and the skin images.
#include <gtest/gtest.h>

#include <QApplication>

#include "app/language_settings.hpp"
#include "devices/volume_items.hpp"
#include "ui/skin_resources.hpp"

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    qv::ui::init_skin_resources();
    qv::register_device_meta_types();
    // language.ini lies in the program's folder, the tests' working directory.
    load_language_file("English", true);
    return RUN_ALL_TESTS();
}
