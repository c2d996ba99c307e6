#pragma once
// The result filter applied to file-table rows: which rows of a folder the table shows.

#include <QList>

#include "engine/item_filter.hpp"
#include "ui/recovery_item.hpp"

namespace qv::ui {

// The found item a row stands for, as far as a filter looks at it.
qv::found_item filter_view_of(const recovery_item_s& row);
bool row_matches(const qv::item_filter& filter, const recovery_item_s& row);
// The rows that pass, in their order.
QList<recovery_item_s> filtered_rows(const QList<recovery_item_s>& rows, const qv::item_filter& filter);

}  // namespace qv::ui
