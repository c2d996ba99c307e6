#pragma once
// The items a scan found, with their paths, for listing and choosing on the command line.

#include <string>
#include <vector>

#include "engine/found_item.hpp"

namespace qv::cli {

struct listed_item : qv::found_item {
    std::string path;  // from the volume root, '/'-separated, names made safe
};

// Items of a finished scan, sorted by path. An item whose parent chain breaks,
// loops or passes through a file is placed under "/#orphans" so it can still
// be recovered; a carved file is placed in the folder of its type.
std::vector<listed_item> list_found_items(const std::vector<qv::found_item>& items);

}  // namespace qv::cli
