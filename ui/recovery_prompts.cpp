#include "ui/recovery_prompts.hpp"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QUrl>

#include "app/language_settings.hpp"
#include "ui/message_box.hpp"

namespace {

const QString result_filter = "Quorvane Scan files (*.sav)";
const QString result_filters = result_filter + ";;All files (*.*)";

}  // namespace

recovery_prompts_s desktop_recovery_prompts() {
    recovery_prompts_s p;
    p.ask = [](QWidget* parent, const char* key) {
        return show_message(parent, "Quorvane", key, QMessageBox::Yes | QMessageBox::No) ==
               QMessageBox::Yes;
    };
    p.tell = [](QWidget* parent, const char* key) { show_message(parent, "Quorvane", key); };
    p.choose_folder = [](QWidget* parent) {
        return QFileDialog::getExistingDirectory(
            parent, language_text("recovery_select"), QDir::homePath(),
            QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    };
    p.choose_result_file = [](QWidget* parent, bool save) {
        QString selected = result_filter;
        if (save)
            return QFileDialog::getSaveFileName(parent, "Save", QDir::currentPath(), result_filters,
                                                &selected);
        return QFileDialog::getOpenFileName(parent, "Save", QDir::currentPath(), result_filters,
                                            &selected);
    };
    p.open_folder = [](const QString& folder) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
    };
    return p;
}
