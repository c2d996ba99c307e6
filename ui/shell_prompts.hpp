#pragma once
// What the shell (main window, list and partition pages) asks of the user and
// the desktop, replaceable so the windows can be driven without anyone at the screen.

#include <QMessageBox>
#include <QString>
#include <QUrl>

#include <functional>

class QWidget;

namespace qv::ui {

struct shell_prompts_s {
    // A modal message with the program's icon, the title, the text of key and
    // detail (when not empty) on a line of its own after it. Returns the button pressed.
    std::function<QMessageBox::StandardButton(QWidget* parent, const QString& title, const char* key,
                                              QMessageBox::StandardButtons buttons, const QString& detail)>
        message;
    // Opens a file or web address with the desktop's default handler.
    std::function<void(const QUrl& url)> open_url;
    // A disk image file to open as a drive; empty when cancelled.
    std::function<QString(QWidget* parent)> choose_image;
    // The image file a drive is saved to (it may exist: the copy then goes on); empty when cancelled.
    std::function<QString(QWidget* parent)> choose_image_target;
    // A saved first sector (a backup of the partition repair); empty when cancelled.
    std::function<QString(QWidget* parent)> choose_sector_backup;
};

// The process-wide prompts; message boxes, QDesktopServices and a file dialog by default.
shell_prompts_s& shell_prompts();

// Shortcut for shell_prompts().message.
QMessageBox::StandardButton shell_message(QWidget* parent, const QString& title, const char* key,
                                          QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                          const QString& detail = QString());

}  // namespace qv::ui
