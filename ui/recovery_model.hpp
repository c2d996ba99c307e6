#pragma once
// The file table's model: a view onto the page's rows (never a copy), with a
// sort toggle per column.

#include <QAbstractTableModel>
#include <QList>

#include <array>

#include "ui/recovery_item.hpp"

namespace qv::ui {

// Table columns: the tick box, then the four data columns.
enum recovery_column : int {
    column_tick = 0,
    column_name = 1,
    column_size = 2,
    column_date1 = 3,
    column_date2 = 4,
    recovery_column_count = 5,
};

}  // namespace qv::ui

class recovery_model_c : public QAbstractTableModel {
    Q_OBJECT
public:
    // rows belongs to the page and must outlive the model.
    explicit recovery_model_c(QList<recovery_item_s>& rows, QObject* parent = nullptr);
    ~recovery_model_c() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    // DisplayRole: the whole row (the delegate picks the field), for every column.
    // ToolTipRole of the name: what the row's state means and its original short name.
    QVariant data(const QModelIndex& index, int role) const override;
    // "checkbox" for column 0, then the language texts of the headings.
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void set_ticked(int row, uint32_t value);
    // Flips the column's toggle, then sorts the rows ascending (toggle now on)
    // or descending by that column. Column 0 only flips its toggle.
    void sort_by_column(int column);
    bool sort_toggle(int column) const;

private:
    QList<recovery_item_s>& rows_;
    std::array<bool, 8> toggles_{};
};
