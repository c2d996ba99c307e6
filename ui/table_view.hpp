#pragma once
// The file table's view: moving to another row with the keyboard acts like clicking it.

#include <QTableView>

class MyQTableView : public QTableView {
    Q_OBJECT
public:
    using QTableView::QTableView;

protected:
    void keyPressEvent(QKeyEvent* event) override;
};
