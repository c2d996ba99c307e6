#pragma once
// List models over the process-wide drive and volume lists, heading entry included.

#include <QAbstractListModel>
#include <QList>

#include "devices/volume_items.hpp"

namespace qv::ui {

// Lets the records carried in the display role read as text (item views'
// keyboard search, accessibility). Called by the models; safe to call again.
void register_list_text_converters();

}  // namespace qv::ui

// Refers to its list, never copies it; a page puts a new model on its view
// whenever the list has been rebuilt. Rows beyond the list's current length
// (after a rebuild, before the new model is in place) give no data.
class drive_model_c : public QAbstractListModel {
    Q_OBJECT
public:
    explicit drive_model_c(const QList<drive_item_s>& drives, QObject* parent = nullptr);
    ~drive_model_c() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    // DisplayRole: a copy of the row's drive_item_s.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    const QList<drive_item_s>& drives_;
};

class volume_model_c : public QAbstractListModel {
    Q_OBJECT
public:
    explicit volume_model_c(const QList<volume_item_s>& volumes, QObject* parent = nullptr);
    ~volume_model_c() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    // DisplayRole: a copy of the row's volume_item_s.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    const QList<volume_item_s>& volumes_;
};
