#include "ui/open_notice_board.hpp"

#include <QMetaObject>

#include "app/language_settings.hpp"
#include "devices/device_catalog.hpp"

namespace qv::ui {

open_notice_board& open_notice_board::shared() {
    static open_notice_board board;
    return board;
}

void open_notice_board::install() {
    qv::device_catalog::shared().set_open_notice([this](qv::open_notice what, const std::string& path) {
        const char* key = what == qv::open_notice::in_use         ? "open_in_use"
                          : what == qv::open_notice::asking_write ? "open_asking_write"
                                                                  : "open_asking_password";
        QString text = language_text(key);
        text.replace(QLatin1String("%1"), QString::fromStdString(path));
        {
            QMutexLocker lock(&mutex_);
            text_ = text;
        }
        QMetaObject::invokeMethod(this, &open_notice_board::changed, Qt::QueuedConnection);
    });
}

void open_notice_board::clear() {
    {
        QMutexLocker lock(&mutex_);
        text_.clear();
    }
    emit changed();
}

QString open_notice_board::text() const {
    QMutexLocker lock(&mutex_);
    return text_;
}

}  // namespace qv::ui
