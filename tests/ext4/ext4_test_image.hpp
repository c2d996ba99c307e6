#pragma once
// Builds ext2/3/4 test images with mkfs and the kernel's own driver over a loop
// device, and scans them with the ext4 reader.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "devices/device_handle.hpp"
#include "ext4/ext4_scan.hpp"
#include "tests/support/test_support.hpp"

namespace qv::test {

// A sparse image of mib MiB formatted by `mkfs` (a command line without the image path).
bool make_ext_image(const std::string& path, uint64_t mib, const std::string& mkfs, std::string* why);

// An image mounted by the kernel through a loop device; unmounted and detached at
// scope end, also when a test fails half-way.
class ext_mount {
public:
    ext_mount() = default;
    ~ext_mount();
    ext_mount(const ext_mount&) = delete;
    ext_mount& operator=(const ext_mount&) = delete;
    // False with the reason where this is not root or loop devices do not work.
    bool mount(const std::string& image, const std::string& dir, const std::string& type, std::string* why);
    bool unmount();
    std::string operator/(const std::string& relative) const { return dir_ + "/" + relative; }

private:
    std::unique_ptr<loop_device> loop_;
    std::string dir_;
    bool mounted_ = false;
};

// An opened image and its scan.
struct ext_scan {
    std::unique_ptr<file_device> device;
    std::unique_ptr<ext4::volume> vol;
    ext4::scan_result result;
    std::map<uint64_t, size_t> by_id;

    // Opens and scans path; false with the reason when it cannot be opened.
    bool run(const std::string& path, std::string* why);
    // Path of a record from the root ("dir/sub/name"); "Lost files/..." for the lost.
    std::string path_of(const ext4::found_file& f) const;
    // Records by path, deleted ones (or live ones) only; the first of several.
    const ext4::found_file* find(const std::string& path, bool deleted) const;
    // The file's bytes through copy_file.
    std::vector<uint8_t> recover(const ext4::found_file& f, ext4::copy_report* report = nullptr) const;
};

}  // namespace qv::test
