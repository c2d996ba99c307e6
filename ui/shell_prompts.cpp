#include "ui/shell_prompts.hpp"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>

#include "app/language_settings.hpp"
#include "partition/mbr_backup.hpp"

namespace qv::ui {

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

QString desktop_choose_image_target(QWidget* parent) {
    // No overwrite question: an existing image with its map is continued, not replaced.
    return QFileDialog::getSaveFileName(parent, language_text("menu_save_image"), QDir::homePath() + "/drive.img",
                                        "Disk images (*.img);;All files (*)", nullptr,
                                        QFileDialog::DontConfirmOverwrite);
}

QString desktop_choose_sector_backup(QWidget* parent) {
    return QFileDialog::getOpenFileName(parent, language_text("menu_restore_mbr"),
                                        qv::partition::default_backup_dir(), "First sectors (*.bin);;All files (*)");
}

}  // namespace

shell_prompts_s& shell_prompts() {
    static shell_prompts_s prompts{
        desktop_message,
        [](const QUrl& url) { QDesktopServices::openUrl(url); },
        desktop_choose_image,
        desktop_choose_image_target,
        desktop_choose_sector_backup,
    };
    return prompts;
}

QMessageBox::StandardButton shell_message(QWidget* parent, const QString& title, const char* key,
                                          QMessageBox::StandardButtons buttons, const QString& detail) {
    return shell_prompts().message(parent, title, key, buttons, detail);
}

}  // namespace qv::ui
