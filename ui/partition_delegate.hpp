#pragma once
// Paints the rows of the found-partition list: number, file system, first and last sector, size.

#include <QPointF>
#include <QRect>
#include <QStyledItemDelegate>

#include <array>
#include <cstdint>

struct partition_item_s;

namespace qv::ui {

// Baselines of the five columns of a row: x = 15 and 20, 40, 60, 80 % of the width plus 15; y = top + 20.
std::array<QPointF, 5> partition_row_columns(const QRect& row);
// The partition's size in bytes, (last - first + 1) × 512; 0 when last < first,
// the largest value when the product does not fit.
uint64_t partition_size_bytes(const partition_item_s& item);

}  // namespace qv::ui

class partition_delegate_c : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit partition_delegate_c(QObject* parent = nullptr);
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    // The view's width by 30 pixels.
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};
