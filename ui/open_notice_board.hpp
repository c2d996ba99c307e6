#pragma once
// The status-line text for what happens while a device is opened (a password
// is asked, a volume is read while in use), for the page that shows it.

#include <QMutex>
#include <QObject>
#include <QString>

namespace qv::ui {

class open_notice_board : public QObject {
    Q_OBJECT
public:
    static open_notice_board& shared();
    // Registers with the device catalog; notices may come from any thread.
    void install();
    void clear();
    QString text() const;

signals:
    // Delivered on the board's (the interface) thread.
    void changed();

private:
    mutable QMutex mutex_;
    QString text_;
};

}  // namespace qv::ui
