#include "ui/partition_delegate.hpp"

#include <QAbstractItemView>
#include <QPainter>

#include <limits>

#include "devices/format_size.hpp"
#include "partition/partition_item.hpp"
#include "ui/device_delegates.hpp"

namespace {

constexpr int row_height = 30;
constexpr uint64_t sector_bytes = 512;

}  // namespace

namespace qv::ui {

std::array<QPointF, 5> partition_row_columns(const QRect& row) {
    const qreal x = row.left();
    const qreal w = row.width();
    const qreal y = row.top() + 20;
    return {QPointF(x + 15, y), QPointF(x + 0.2 * w + 15, y), QPointF(x + 0.4 * w + 15, y),
            QPointF(x + 0.6 * w + 15, y), QPointF(x + 0.8 * w + 15, y)};
}

uint64_t partition_size_bytes(const partition_item_s& item) {
    if (item.end_sector < item.start_sector) return 0;
    const uint64_t sectors = item.end_sector - item.start_sector;
    if (sectors >= std::numeric_limits<uint64_t>::max() / sector_bytes) return std::numeric_limits<uint64_t>::max();
    return (sectors + 1) * sector_bytes;
}

}  // namespace qv::ui

partition_delegate_c::partition_delegate_c(QObject* parent) : QStyledItemDelegate(parent) {}

QSize partition_delegate_c::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
    const auto* view = qobject_cast<const QAbstractItemView*>(option.widget);
    return QSize(view ? view->viewport()->width() : option.rect.width(), row_height);
}

void partition_delegate_c::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                 const QModelIndex& index) const {
    const QVariant value = index.data();
    if (value.metaType() != QMetaType::fromType<partition_item_s>()) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    const partition_item_s item = value.value<partition_item_s>();
    const auto columns = qv::ui::partition_row_columns(option.rect);
    painter->save();
    qv::ui::paint_list_row_background(painter, option, index.row());
    painter->setFont(QFont("Verdana", 8));
    painter->setPen(Qt::black);
    painter->drawText(columns[0], QString::asprintf("%d", index.row()));
    painter->drawText(columns[1], item.fs_name);
    painter->drawText(columns[2], QString::asprintf("%llu", static_cast<unsigned long long>(item.start_sector)));
    painter->drawText(columns[3], QString::asprintf("%llu", static_cast<unsigned long long>(item.end_sector)));
    painter->drawText(columns[4], format_size(qv::ui::partition_size_bytes(item)));
    painter->restore();
}
