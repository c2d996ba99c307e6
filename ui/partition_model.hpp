#pragma once
// The partition page's list model over the partitions the search has found so far.

#include <QAbstractListModel>
#include <QList>

#include "partition/partition_item.hpp"

// Holds the snapshot it was made with; the page makes a new model when the search finds more.
class partition_model_c : public QAbstractListModel {
    Q_OBJECT
public:
    explicit partition_model_c(QList<partition_item_s> partitions, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    // DisplayRole: the row's partition_item_s.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    QList<partition_item_s> partitions_;
};
