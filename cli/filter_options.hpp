#pragma once
// The result filter options of scan and recover (--type, --min-size, --name,
// --after, --before, --state) and the state fields of a listed item.

#include <optional>
#include <string>
#include <vector>

#include "engine/item_filter.hpp"

namespace CLI {
class App;
}

namespace qv::cli {

struct filter_arguments {
    std::string types;
    std::string min_size;
    std::vector<std::string> names;
    std::string after;
    std::string before;
    std::string states;
};

void add_filter_options(CLI::App& command, filter_arguments& arguments);
// The filter the options ask for, or nothing with a message naming the option it cannot read.
std::optional<qv::item_filter> make_item_filter(const filter_arguments& arguments, std::string* error);

// ,"state":"damaged" then ,"short_name":"#OLIDA~2.JPG" when there is one and
// ,"unreadable":4096 for a damaged item: to follow an item's other JSON fields.
std::string state_json_fields(const qv::found_item& item);

}  // namespace qv::cli
