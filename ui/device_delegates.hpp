#pragma once
// Paint every row of the drive and volume lists, the heading entry as the column headings.

#include <QPixmap>
#include <QStyledItemDelegate>

class drive_delegate_c : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit drive_delegate_c(QObject* parent = nullptr);
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    // The row's width by 30 pixels.
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

class volume_delegate_c : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit volume_delegate_c(QObject* parent = nullptr);
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    QPixmap drive_icon_;
    QPixmap red_;
    QPixmap green_;
};

namespace qv::ui {

// Even rows light blue, a selected row dark blue; shared with the partition list.
void paint_list_row_background(QPainter* painter, const QStyleOptionViewItem& option, int row);

}  // namespace qv::ui
