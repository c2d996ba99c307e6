#pragma once
// Carved files renamed after what they carry (capture time and camera, artist
// and title, document title), off the scan's read path.

#include <functional>
#include <vector>

#include "devices/device_handle.hpp"
#include "engine/found_item.hpp"

namespace qv {

// Gives each carved item (type set) whose content names it the name
// "<stem>.<type>"; names that clash within a type get " (2)", " (3)" ...
// before the extension. Items the content says nothing about keep their
// numbered names. Reads at most a bounded head and tail of each file, of its
// first piece only. When stop_requested (may be empty) says true, the items
// not reached yet keep their names.
void name_carved_from_content(device_handle& device, std::vector<found_item>& items,
                              const std::function<bool()>& stop_requested = {});

}  // namespace qv
