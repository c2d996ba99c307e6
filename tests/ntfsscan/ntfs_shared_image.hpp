#pragma once
// One NTFS image per test program, made with mkntfs and filled through the ntfs-3g
// mount: live and deleted files of every kind the reader must bring back.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qv::test {

struct shared_ntfs {
    bool ok = false;
    std::string why;     // why the image could not be made
    std::string image;   // absolute path
    int64_t made_from = 0;   // wall-clock seconds around the filling
    int64_t made_until = 0;
    // Deleted files by their path below the root ("olddir/sub/b.bin") and their bytes.
    std::map<std::string, std::vector<uint8_t>> deleted;
    // Live files by path and bytes.
    std::map<std::string, std::vector<uint8_t>> live;
    std::vector<std::string> deleted_dirs;  // "olddir", "olddir/sub"
    std::string compressed;                 // path of a deleted compressed file
    size_t bulk_files = 0;                  // live files in "bulk/"
};

// Made on first use; later calls return the same image.
const shared_ntfs& shared_image();

}  // namespace qv::test
