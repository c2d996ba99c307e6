#include "partition/drive_lookup.hpp"

#include "devices/device_catalog.hpp"

namespace qv::partition {

std::optional<drive_item_s> find_drive_item(const QString& path) {
    const std::string wanted = path.toStdString();
    for (const auto& d : device_catalog::shared().drives()) {
        if (d.path != wanted) continue;
        drive_item_s item;
        item.name = QString::fromStdString(d.path);
        item.size = int64_t(d.size);
        item.geometry = d.geometry;
        return item;
    }
    return std::nullopt;
}

}  // namespace qv::partition
