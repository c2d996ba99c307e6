#pragma once
// Helpers for the shell tests: a recorder that answers the shell's messages,
// and the device lists set up from image files.

#include <QMessageBox>
#include <QString>
#include <QUrl>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/test_support.hpp"

namespace qv::test {

struct shown_message {
    QString title;
    std::string key;
    QWidget* parent = nullptr;
    QMessageBox::StandardButtons buttons;
    QString detail;
};

// Replaces the shell's prompts for its lifetime: messages are recorded and
// answered with `answer`, opened addresses recorded, and the image chooser
// returns image_to_open.
class shell_recorder {
public:
    shell_recorder();
    ~shell_recorder();
    shell_recorder(const shell_recorder&) = delete;
    shell_recorder& operator=(const shell_recorder&) = delete;

    // Keys of the messages shown so far, in order.
    std::vector<std::string> keys() const;

    std::vector<shown_message> shown;
    QMessageBox::StandardButton answer = QMessageBox::Yes;
    std::vector<QUrl> opened;
    QString image_to_open;
};

// Processes events until done() holds or ms have passed; returns done().
bool wait_until(const std::function<bool()>& done, int ms = 30000);

// Opens image as a drive of the shared catalog and rebuilds drive_items and volume_items.
bool open_image_as_drive(const std::string& image);

}  // namespace qv::test
