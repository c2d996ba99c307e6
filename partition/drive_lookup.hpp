#pragma once
// Finds the drive record (size and geometry) of a drive path for callers
// that start from a path rather than from the drive page's list.

#include <QString>

#include <optional>

#include "devices/volume_items.hpp"

namespace qv::partition {

// The catalog's drive whose path is `path` (an image must have been opened
// with device_catalog::open_image first); none when it is not listed.
std::optional<drive_item_s> find_drive_item(const QString& path);

}  // namespace qv::partition
