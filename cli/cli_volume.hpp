#pragma once
// Turns the volume and drive paths named on the command line into catalog entries.

#include <optional>
#include <string>

#include "devices/volume_items.hpp"

namespace qv::cli {

// Opens the image file behind a path ("card.img", "card.img#1") as a drive
// when it is not one already. False with a message for a path that names nothing.
bool open_named_drive(const std::string& path, std::string* error);
// The volume record of a volume path, after open_named_drive; empty with a message
// when the path is not a volume or cannot be read.
std::optional<volume_item_s> resolve_volume(const std::string& path, std::string* error);

}  // namespace qv::cli
