#pragma once
// A plain start window that lists the volumes found at start-up (until the
// skinned main window takes its place).

#include <QWidget>

class QListWidget;
class QLabel;

class volume_list_window_c : public QWidget {
    Q_OBJECT
public:
    explicit volume_list_window_c(QWidget* parent = nullptr);

public slots:
    // Fills the list once the start-up worker has enumerated the volumes.
    void on_init_finished();

private:
    QLabel* heading_;
    QListWidget* list_;
};
