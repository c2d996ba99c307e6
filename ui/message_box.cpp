#include "ui/message_box.hpp"

#include "app/language_settings.hpp"

namespace qv::ui {

QMessageBox::StandardButton show_message(QWidget* parent, const QString& title, const char* key,
                                         QMessageBox::StandardButtons buttons) {
    return show_message_text(parent, title, language_text(key), buttons);
}

QMessageBox::StandardButton show_message_text(QWidget* parent, const QString& title, const QString& text,
                                              QMessageBox::StandardButtons buttons) {
    QMessageBox box(QMessageBox::Warning, title, text, buttons, parent,
                    Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    box.setIconPixmap(QPixmap(":/images/top.ico"));
    return QMessageBox::StandardButton(box.exec());
}

}  // namespace qv::ui
