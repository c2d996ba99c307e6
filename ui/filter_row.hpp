#pragma once
// The compact row of result filters above the file table: type, minimum size,
// name, date range and state, read back as one item filter.

#include <QWidget>

#include "engine/item_filter.hpp"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace qv::ui {

class filter_row_c : public QWidget {
    Q_OBJECT
public:
    explicit filter_row_c(QWidget* parent = nullptr);

    // What the fields ask for. A field whose text cannot be read asks for
    // nothing and is shown in red. The "To" date includes its whole day.
    qv::item_filter filter() const;
    // Empties every field (one changed() at the end).
    void clear();
    // "12 of 40 shown" while a filter is set; nothing otherwise.
    void show_counts(int shown, int total);

    QLineEdit* type_field() const { return type_; }
    QLineEdit* min_size_field() const { return min_size_; }
    QLineEdit* name_field() const { return name_; }
    QLineEdit* from_field() const { return from_; }
    QLineEdit* to_field() const { return to_; }
    QComboBox* state_box() const { return state_; }
    QPushButton* clear_button() const { return clear_btn_; }
    QLabel* count_label() const { return count_; }

signals:
    // Some field changed what the filter asks for.
    void changed();

private:
    void field_edited();

    QLineEdit* type_ = nullptr;
    QLineEdit* min_size_ = nullptr;
    QLineEdit* name_ = nullptr;
    QLineEdit* from_ = nullptr;
    QLineEdit* to_ = nullptr;
    QComboBox* state_ = nullptr;
    QPushButton* clear_btn_ = nullptr;
    QLabel* count_ = nullptr;
    bool clearing_ = false;
};

}  // namespace qv::ui
