#include "ui/message_box.hpp"

#include "app/language_settings.hpp"

QMessageBox::StandardButton show_message(QWidget* parent, const QString& title, const char* key,
                                         QMessageBox::StandardButtons buttons) {
    QMessageBox box(QMessageBox::Warning, title, language_text(key), buttons, parent,
                    Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    box.setIconPixmap(QPixmap(":/images/top.ico"));
    return QMessageBox::StandardButton(box.exec());
}
