#include "ui/shell_prompts.hpp"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>

#include "app/language_settings.hpp"

namespace {

QMessageBox::StandardButton desktop_message(QWidget* parent, const QString& title, const char* key,
                                            QMessageBox::StandardButtons buttons, const QString& detail) {
    QString text = language_text(key);
    if (!detail.isEmpty()) text = text.isEmpty() ? detail : text + "\n\n" + detail;
    QMessageBox box(QMessageBox::Warning, title, text, buttons, parent,
                    Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    box.setIconPixmap(QPixmap(":/images/top.ico"));
    return QMessageBox::StandardButton(box.exec());
}

QString desktop_choose_image(QWidget* parent) {
    return QFileDialog::getOpenFileName(parent, language_text("menu_open_image"), QDir::homePath(),
                                        "Disk images (*.img *.bin *.dd *.raw *.ima *.iso);;All files (*)");
}

}  // namespace

shell_prompts_s& shell_prompts() {
    static shell_prompts_s prompts{
        desktop_message,
        [](const QUrl& url) { QDesktopServices::openUrl(url); },
        desktop_choose_image,
    };
    return prompts;
}

QMessageBox::StandardButton shell_message(QWidget* parent, const QString& title, const char* key,
                                          QMessageBox::StandardButtons buttons, const QString& detail) {
    return shell_prompts().message(parent, title, key, buttons, detail);
}
