#include "ui/recovery_prompts.hpp"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QUrl>

#include "app/language_settings.hpp"
#include "ui/message_box.hpp"

namespace qv::ui {

namespace {

const QString result_filter = "Quorvane Scan files (*.sav)";
const QString result_filters = result_filter + ";;All files (*.*)";

}  // namespace

recovery_prompts_s desktop_recovery_prompts() {
    recovery_prompts_s p;
    // The key's text with the values waiting in args, which are used up.
    auto text_of = [args = p.text_args](const char* key) {
        QString text = language_text(key);
        for (const QString& value : std::as_const(*args)) text = text.arg(value);
        args->clear();
        return text;
    };
    p.ask = [text_of](QWidget* parent, const char* key) {
        return show_message_text(parent, "Quorvane", text_of(key), QMessageBox::Yes | QMessageBox::No) ==
               QMessageBox::Yes;
    };
    p.tell = [text_of](QWidget* parent, const char* key) { show_message_text(parent, "Quorvane", text_of(key)); };
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

}  // namespace qv::ui
