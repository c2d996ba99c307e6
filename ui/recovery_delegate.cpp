#include "ui/recovery_delegate.hpp"

#include <QPainter>
#include <QTextOption>

#include "devices/format_size.hpp"
#include "ui/recovery_item.hpp"
#include "ui/recovery_model.hpp"
#include "ui/state_mark.hpp"
#include "ui/table_geometry.hpp"

using qv::ui::cell_layout_s;
using qv::ui::column_date1;
using qv::ui::column_date2;
using qv::ui::column_name;
using qv::ui::column_size;
using qv::ui::column_tick;
using qv::ui::paint_state_mark;
using qv::ui::recovery_cell_layout;
using qv::ui::recovery_date_text;
using qv::ui::state_mark;
using qv::ui::state_mark_layout;
using qv::ui::state_mark_layout_s;
using qv::ui::state_mark_s;
using qv::ui::state_mark_shape;

namespace {

const QColor even_row_colour(241, 250, 255);
const QColor selected_colour(81, 149, 206);

}  // namespace

recovery_delegate_c::recovery_delegate_c(QObject* parent)
    : QStyledItemDelegate(parent),
      unticked_(":/images/partition_search/check1.png"),
      ticked_(":/images/partition_search/check2.png") {}

void recovery_delegate_c::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                const QModelIndex& index) const {
    QVariant value = index.data(Qt::DisplayRole);
    if (!value.canConvert<recovery_item_s>() ||
        value.metaType() != QMetaType::fromType<recovery_item_s>()) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    const recovery_item_s row = value.value<recovery_item_s>();
    const QRect cell = option.rect;
    painter->save();
    if (index.row() % 2 == 0) painter->fillRect(cell, even_row_colour);
    if (option.state & QStyle::State_Selected) painter->fillRect(cell, selected_colour);

    painter->setFont(QFont("Segoe UI Symbol", 8));
    painter->setPen(Qt::black);
    const QPixmap& check = (row.ticked & 0xFF) ? ticked_ : unticked_;
    cell_layout_s layout = recovery_cell_layout(cell, check.width());
    const int align = Qt::AlignVCenter | Qt::AlignJustify;
    switch (index.column()) {
        case column_tick:
            painter->drawPixmap(layout.check, check);
            break;
        case column_name: {
            const state_mark_s mark = state_mark(row.state);
            const state_mark_layout_s place = state_mark_layout(layout.text_rect, mark.shape != state_mark_shape::none);
            paint_state_mark(*painter, mark, place.mark);
            painter->drawText(place.text, align, row.name);
            break;
        }
        case column_size:
            painter->drawText(layout.text_rect, align, format_size(row.size));
            break;
        case column_date1:
            painter->drawText(layout.text_rect, align, recovery_date_text(row.date1));
            break;
        case column_date2:
            painter->drawText(layout.text_rect, align, recovery_date_text(row.date2));
            break;
        default:
            break;
    }
    painter->restore();
}
