#pragma once
// Builds the small FAT12 floppy image with deleted files that `quorvane-cli demo` recovers.

#include <cstdint>
#include <string>
#include <vector>

namespace qv::cli {

struct demo_file {
    std::string path;       // where it was on the volume, "/PICS/SUNSET.BMP"
    std::vector<uint8_t> content;
    bool deleted = false;
};

// Writes the image to path and returns the files it holds; empty on a write error.
std::vector<demo_file> make_demo_fat_image(const std::string& path, std::string* error);

}  // namespace qv::cli
