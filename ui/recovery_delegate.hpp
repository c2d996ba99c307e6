#pragma once
// Paints one cell of the file table from the whole row record.

#include <QPixmap>
#include <QStyledItemDelegate>

class recovery_delegate_c : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit recovery_delegate_c(QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

private:
    QPixmap unticked_;
    QPixmap ticked_;
};
