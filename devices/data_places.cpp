#include "devices/data_places.hpp"

#include <filesystem>

#ifndef QUORVANE_DATA_DIR
#define QUORVANE_DATA_DIR "/usr/local/share/quorvane"
#endif
#ifndef QUORVANE_LIBEXEC_DIR
#define QUORVANE_LIBEXEC_DIR "/usr/local/libexec/quorvane"
#endif

namespace qv {

std::vector<std::string> data_places() {
    std::vector<std::string> places;
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    // An installation keeps its data folder beside bin/, wherever it was put
    // (cmake --install --prefix, the package under /usr, dpkg -x).
    if (!ec) places.push_back((exe.parent_path().parent_path() / "share" / "quorvane").string());
    places.push_back(QUORVANE_DATA_DIR);
    if (!ec) places.push_back(exe.parent_path().string());
    return places;
}

std::string find_data_file(const std::string& name) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::is_regular_file(name, ec)) return name;
    for (const std::string& place : data_places()) {
        fs::path candidate = fs::path(place) / name;
        if (fs::is_regular_file(candidate, ec)) return candidate.string();
    }
    return name;
}

std::string executable_folder() {
    std::error_code ec;
    auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : self.parent_path().string();
}

std::vector<std::string> helper_places() {
    std::vector<std::string> places;
    if (const std::string here = executable_folder(); !here.empty()) {
        places.push_back(here + "/../libexec/quorvane");
        places.push_back(here);
    }
    places.push_back(QUORVANE_LIBEXEC_DIR);
    return places;
}

}  // namespace qv
