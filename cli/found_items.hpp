#pragma once
// The items an engine found, flattened for listing and choosing on the command line.

#include <cstdint>
#include <string>
#include <vector>

class recovery_base_c;

struct found_item {
    uint64_t id = 0;
    std::string path;       // from the volume root, '/'-separated, names made safe
    std::string name;
    uint64_t size = 0;
    int64_t modified = 0;
    int64_t created = 0;
    bool deleted = false;
    bool directory = false;
    std::string type;       // deep scan only
    uint64_t offset = 0;    // deep scan only
};

// Items of a finished scan, sorted by path. Unknown engines give nothing.
std::vector<found_item> collect_found_items(recovery_base_c& engine);
