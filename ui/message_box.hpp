#pragma once
// The program's message boxes: the icon image, a fixed title, the text of a language key.

#include <QMessageBox>

namespace qv::ui {

// Shows the text of key modally with the program's icon and returns the button pressed.
QMessageBox::StandardButton show_message(QWidget* parent, const QString& title, const char* key,
                                         QMessageBox::StandardButtons buttons = QMessageBox::Ok);
// The same with the key's text filled in already.
QMessageBox::StandardButton show_message_text(QWidget* parent, const QString& title, const QString& text,
                                              QMessageBox::StandardButtons buttons = QMessageBox::Ok);

}  // namespace qv::ui
