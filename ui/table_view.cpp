#include "ui/table_view.hpp"

void MyQTableView::keyPressEvent(QKeyEvent* event) {
    QModelIndex before = currentIndex();
    QTableView::keyPressEvent(event);
    QModelIndex after = currentIndex();
    if (after.isValid() && after.row() != before.row()) emit clicked(after);
}
