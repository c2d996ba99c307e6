// Carved files renamed after their own tags, with clashes numbered per type.

#include "engine/content_names.hpp"

#include <map>
#include <set>
#include <string>

#include "sigscan/content_name.hpp"

namespace qv {

void name_carved_from_content(device_handle& device, std::vector<found_item>& items,
                              const std::function<bool()>& stop_requested) {
    // Names given out per type folder, the numbered names that stay included.
    std::map<std::string, std::set<std::string>> taken;
    std::vector<std::string> stems(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        const found_item& item = items[i];
        if (item.type.empty() || item.directory) continue;
        if (sig::has_content_name(item.type) && !(stop_requested && stop_requested())) {
            const uint64_t first = item.pieces.empty() ? item.size : item.pieces.front().size;
            stems[i] = sig::content_name(device, item.offset, first, item.type);
        }
        if (stems[i].empty()) taken[item.type].insert(item.name);
    }
    for (size_t i = 0; i < items.size(); ++i) {
        if (stems[i].empty()) continue;
        found_item& item = items[i];
        auto& names = taken[item.type];
        std::string name = stems[i] + "." + item.type;
        for (int n = 2; names.count(name) != 0; ++n) name = stems[i] + " (" + std::to_string(n) + ")." + item.type;
        names.insert(name);
        item.name = name;
    }
}

}  // namespace qv
