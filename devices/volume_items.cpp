#include "devices/volume_items.hpp"

#include <algorithm>

#include "devices/device_catalog.hpp"

QList<drive_item_s> drive_items;
QList<volume_item_s> volume_items;
std::atomic<int> init_ready{0};

namespace qv {

void register_device_meta_types() {
    qRegisterMetaType<drive_item_s>("drive_item_s");
    qRegisterMetaType<volume_item_s>("volume_item_s");
}

}  // namespace qv

int enumerate_drives() {
    drive_items.clear();
    drive_items.append(drive_item_s{});
    for (const auto& d : qv::device_catalog::shared().drives()) {
        drive_item_s item;
        item.name = QString::fromStdString(d.path);
        item.size = int64_t(d.size);
        item.geometry = d.geometry;
        item.needs_authorization = d.needs_authorization;
        drive_items.append(item);
    }
    return 0;
}

int enumerate_volumes() {
    volume_items.clear();
    QList<volume_item_s> candidates;
    for (const auto& v : qv::device_catalog::shared().volumes()) {
        // A fixed volume is listed only when this process may read it, directly
        // or after a password.
        if (!v.removable && !v.readable && !v.needs_authorization) continue;
        volume_item_s item;
        item.device_name = QString::fromStdString(v.path);
        item.volume_name = item.device_name;
        item.label = QString::fromStdString(v.label);
        item.file_system = QString::fromStdString(v.file_system);
        item.mount_path = v.mount_path.empty() ? item.device_name : QString::fromStdString(v.mount_path);
        item.total_bytes = v.total_bytes;
        item.free_bytes = v.free_bytes;
        item.free_known = v.free_known;
        item.partition_number = v.partition_number;
        item.disk_number = v.drive_number;
        item.needs_authorization = v.needs_authorization;
        if (item.partition_number == -1 || item.disk_number == -1) continue;
        candidates.append(item);
    }
    // Ordinal comparison of UTF-16 code units; stable so repeated runs agree.
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const volume_item_s& a, const volume_item_s& b) {
                         return QString::compare(a.mount_path, b.mount_path, Qt::CaseSensitive) < 0;
                     });
    volume_items.append(volume_item_s{});
    volume_items.append(candidates);
    return 0;
}
