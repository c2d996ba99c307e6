#pragma once
// Volumes for the read-error tests of the file-system scanners: FAT, NTFS and exFAT
// images made with the real tools, holding deleted files of distinct sizes whose
// bytes lie in one piece, and where on the image each file's bytes are.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "devices/device_handle.hpp"
#include "engine/found_item.hpp"
#include "engine/scanner.hpp"

namespace qv::test {

struct placed_file {
    uint64_t size = 0;
    uint64_t offset = 0;  // of its bytes on the image
    std::vector<uint8_t> bytes;
};

struct walk_image {
    std::string path;
    std::vector<placed_file> files;  // every file deleted, in folder "d" (which stays)
};

// Makes the image at path with count deleted files of sizes from min_size up
// (all different). False with the reason in *why when a tool or FUSE is missing
// ("skip: ..." then) or a tool fails.
bool make_walk_image(const std::string& kind, const std::string& path, const std::string& work, int count,
                     uint64_t min_size, walk_image* out, std::string* why);

// 4 KiB areas (4 KiB aligned) lying wholly inside files number 0, 3, 6 ...:
// `count` of them, spread over those files, chosen by seed.
std::vector<std::pair<uint64_t, uint64_t>> areas_in_files(const walk_image& image, int count, uint32_t seed);

// Bytes of [offset, offset + size) inside the areas.
uint64_t overlap(const std::vector<std::pair<uint64_t, uint64_t>>& areas, uint64_t offset, uint64_t size);

// Deleted files of a result by size (every test file has its own size).
std::map<uint64_t, found_item> files_by_size(const std::vector<found_item>& items);

// The file's bytes with zeros where the areas cover them.
std::vector<uint8_t> with_zeros(const placed_file& f, const std::vector<std::pair<uint64_t, uint64_t>>& areas);

// A registered scanner by name ("fat", "ntfs", "exfat"), as these tests use it:
// scan a device, read what it could not read, recover an item with its unreadable count.
class walk_engine {
public:
    explicit walk_engine(const std::string& kind);
    // The deleted files and the folders found.
    std::vector<found_item> scan(std::unique_ptr<device_handle> device);
    uint64_t unreadable_bytes();
    bool vanished();
    std::vector<std::string> places();
    // 0 and *unreadable, or -1 (last_status() says why).
    int recover(const found_item& item, const std::string& destination, uint64_t* unreadable);
    const recovery_status& last_status() const { return last_; }

private:
    std::unique_ptr<device_handle> device_;
    std::unique_ptr<scanner> scanner_;
    scan_report report_;
    recovery_status last_;
};

}  // namespace qv::test
