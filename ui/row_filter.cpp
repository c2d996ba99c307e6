#include "ui/row_filter.hpp"

namespace qv::ui {

qv::found_item filter_view_of(const recovery_item_s& row) {
    qv::found_item item;
    item.id = row.id;
    item.name = row.name.toStdString();
    item.size = row.size;
    item.modified = row.date1;
    item.created = row.date2;
    item.state = row.state;
    item.short_name = row.short_name.toStdString();
    item.deleted = true;
    return item;
}

bool row_matches(const qv::item_filter& filter, const recovery_item_s& row) {
    return !filter.active() || filter.matches(filter_view_of(row));
}

QList<recovery_item_s> filtered_rows(const QList<recovery_item_s>& rows, const qv::item_filter& filter) {
    if (!filter.active()) return rows;
    QList<recovery_item_s> out;
    for (const recovery_item_s& row : rows)
        if (filter.matches(filter_view_of(row))) out.append(row);
    return out;
}

}  // namespace qv::ui
