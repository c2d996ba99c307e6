#include "ui/device_models.hpp"

#include "partition/partition_item.hpp"

namespace {

template <class item_t>
QVariant row_data(const QList<item_t>& list, const QModelIndex& index, int role) {
    if (!index.isValid() || role != Qt::DisplayRole || index.column() != 0 || index.row() < 0 ||
        index.row() >= list.size())
        return {};
    return QVariant::fromValue(list[index.row()]);
}

}  // namespace

namespace qv::ui {

void register_list_text_converters() {
    static const bool registered = [] {
        QMetaType::registerConverter<drive_item_s, QString>([](const drive_item_s& d) { return d.name; });
        QMetaType::registerConverter<volume_item_s, QString>([](const volume_item_s& v) {
            return v.label.isEmpty() ? v.device_name : v.label + " (" + v.device_name + ")";
        });
        QMetaType::registerConverter<partition_item_s, QString>([](const partition_item_s& p) {
            return QString("%1 %2-%3").arg(p.fs_name).arg(p.start_sector).arg(p.end_sector);
        });
        return true;
    }();
    Q_UNUSED(registered);
}

}  // namespace qv::ui

drive_model_c::drive_model_c(const QList<drive_item_s>& drives, QObject* parent)
    : QAbstractListModel(parent), drives_(drives) {
    qv::ui::register_list_text_converters();
}

drive_model_c::~drive_model_c() = default;

int drive_model_c::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(drives_.size());
}

QVariant drive_model_c::data(const QModelIndex& index, int role) const { return row_data(drives_, index, role); }

volume_model_c::volume_model_c(const QList<volume_item_s>& volumes, QObject* parent)
    : QAbstractListModel(parent), volumes_(volumes) {
    qv::ui::register_list_text_converters();
}

volume_model_c::~volume_model_c() = default;

int volume_model_c::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(volumes_.size());
}

QVariant volume_model_c::data(const QModelIndex& index, int role) const { return row_data(volumes_, index, role); }
