#include "ui/partition_model.hpp"

#include "ui/device_models.hpp"

partition_model_c::partition_model_c(QList<partition_item_s> partitions, QObject* parent)
    : QAbstractListModel(parent), partitions_(std::move(partitions)) {
    qv::ui::register_list_text_converters();
}

int partition_model_c::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(partitions_.size());
}

QVariant partition_model_c::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || role != Qt::DisplayRole || index.column() != 0 || index.row() < 0 ||
        index.row() >= partitions_.size())
        return {};
    return QVariant::fromValue(partitions_[index.row()]);
}
