#include "ui/recovery_model.hpp"

#include <algorithm>

#include "app/language_settings.hpp"
#include "ui/state_mark.hpp"

using qv::ui::column_date1;
using qv::ui::column_date2;
using qv::ui::column_name;
using qv::ui::column_size;
using qv::ui::column_tick;
using qv::ui::recovery_column_count;
using qv::ui::state_tooltip;

namespace {

const char* const heading_keys[recovery_column_count] = {
    nullptr, "recovery_name", "drive_size", "recovery_date1", "recovery_date2",
};

template <typename Key>
void sort_rows(QList<recovery_item_s>& rows, bool ascending, Key key) {
    if (ascending)
        std::sort(
            rows.begin(), rows.end(),
            [&](const recovery_item_s& a, const recovery_item_s& b) { return key(a) < key(b); });
    else
        std::sort(
            rows.begin(), rows.end(),
            [&](const recovery_item_s& a, const recovery_item_s& b) { return key(b) < key(a); });
}

// A row read as text (by views that do not know the record) is its name.
void register_row_text() {
    static const bool done = QMetaType::registerConverter<recovery_item_s, QString>(
        [](const recovery_item_s& row) { return row.name; });
    Q_UNUSED(done);
}

}  // namespace

recovery_model_c::recovery_model_c(QList<recovery_item_s>& rows, QObject* parent)
    : QAbstractTableModel(parent), rows_(rows) {
    register_row_text();
}

recovery_model_c::~recovery_model_c() = default;

int recovery_model_c::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(rows_.size());
}

int recovery_model_c::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : recovery_column_count;
}

QVariant recovery_model_c::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rows_.size()) return {};
    if (role == Qt::ToolTipRole && index.column() == column_name) {
        const recovery_item_s& row = rows_[index.row()];
        const QString tip = state_tooltip(row.state, row.short_name);
        return tip.isEmpty() ? QVariant() : QVariant(tip);
    }
    if (role != Qt::DisplayRole) return {};
    return QVariant::fromValue(rows_[index.row()]);
}

QVariant recovery_model_c::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    if (section == column_tick) return QStringLiteral("checkbox");
    if (section > 0 && section < recovery_column_count) return language_text(heading_keys[section]);
    return {};
}

void recovery_model_c::set_ticked(int row, uint32_t value) {
    if (row < 0 || row >= rows_.size()) return;
    rows_[row].ticked = value;
    emit dataChanged(index(row, column_tick), index(row, column_tick));
}

bool recovery_model_c::sort_toggle(int column) const {
    return column >= 0 && column < int(toggles_.size()) && toggles_[size_t(column)];
}

void recovery_model_c::sort_by_column(int column) {
    if (column < 0 || column >= int(toggles_.size())) return;
    bool ascending = toggles_[size_t(column)] = !toggles_[size_t(column)];
    switch (column) {
        case column_name:
            // QString's ordering compares UTF-16 code units, case matters.
            sort_rows(rows_, ascending,
                      [](const recovery_item_s& r) -> const QString& { return r.name; });
            break;
        case column_size:
            sort_rows(rows_, ascending, [](const recovery_item_s& r) { return r.size; });
            break;
        case column_date1:
            sort_rows(rows_, ascending, [](const recovery_item_s& r) { return r.date1; });
            break;
        case column_date2:
            sort_rows(rows_, ascending, [](const recovery_item_s& r) { return r.date2; });
            break;
        default:
            return;
    }
    if (!rows_.isEmpty())
        emit dataChanged(index(0, 0), index(int(rows_.size()) - 1, recovery_column_count - 1));
}
