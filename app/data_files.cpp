#include "app/data_files.hpp"

#include <unistd.h>

#include <filesystem>

#ifndef QUORVANE_DATA_DIR
#define QUORVANE_DATA_DIR "/usr/local/share/quorvane"
#endif

std::string find_data_file(const std::string& name) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::is_regular_file(name, ec)) return name;
    fs::path installed = fs::path(QUORVANE_DATA_DIR) / name;
    if (fs::is_regular_file(installed, ec)) return installed.string();
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        exe[n] = 0;
        fs::path beside = fs::path(exe).parent_path() / name;
        if (fs::is_regular_file(beside, ec)) return beside.string();
    }
    return name;
}
