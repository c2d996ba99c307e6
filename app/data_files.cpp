#include "app/data_files.hpp"

#include <filesystem>

#include "devices/data_places.hpp"

std::string find_data_file(const std::string& name) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::is_regular_file(name, ec)) return name;
    for (const std::string& place : qv::data_places()) {
        fs::path candidate = fs::path(place) / name;
        if (fs::is_regular_file(candidate, ec)) return candidate.string();
    }
    return name;
}
