#pragma once
// Builds exFAT test images with mkfs.exfat and the exfat-fuse mount over a loop
// device, and edits entry sets in copies (in-use bits, checksums, times).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/test_support.hpp"

namespace qv::test {

// A sparse image of mib MiB formatted by mkfs.exfat with the given cluster size.
bool make_exfat_image(const std::string& path, uint64_t mib, uint32_t cluster_bytes, std::string* why);

// An image attached to a loop device and mounted through exfat-fuse;
// unmounted and detached at scope end (also when a test fails half-way).
class exfat_mount {
public:
    exfat_mount() = default;
    ~exfat_mount();
    exfat_mount(const exfat_mount&) = delete;
    exfat_mount& operator=(const exfat_mount&) = delete;
    // False with the reason when loop devices, FUSE or exfat-fuse are missing.
    bool mount(const std::string& image, const std::string& dir, std::string* why);
    // Unmounts and detaches; true when both worked.
    bool unmount();
    const std::string& dir() const { return dir_; }
    std::string operator/(const std::string& relative) const { return dir_ + "/" + relative; }

private:
    std::unique_ptr<loop_device> loop_;
    std::string image_;
    std::string dir_;
    bool mounted_ = false;
};

// The reason an exfat-fuse mount cannot work here, or empty when it can.
std::string exfat_mount_unavailable();

// Byte offsets of the file entries (live or deleted) whose name is `name`,
// found by scanning the whole image at 32-byte steps.
std::vector<uint64_t> find_entry_sets(const std::vector<uint8_t>& image, const std::string& name);

// The set's entry count (1 + secondary count) at offset.
size_t set_entries(const std::vector<uint8_t>& image, uint64_t offset);
// Recomputes the set checksum of the set at offset from its bytes as they
// are with in-use bits set (the rule for live and deleted sets alike).
void fix_set_checksum(std::vector<uint8_t>& image, uint64_t offset);
// Clears the in-use bits of the set at offset; its clusters stay allocated in the bitmap.
void clear_in_use(std::vector<uint8_t>& image, uint64_t offset);

// Layout fields of the image's main boot sector.
struct exfat_fields {
    uint64_t heap_offset = 0;
    uint32_t cluster_size = 0;
    uint32_t cluster_count = 0;
    uint64_t bitmap_offset = 0;  // byte offset of the allocation bitmap
};
exfat_fields read_exfat_fields(const std::vector<uint8_t>& image);
// Sets or clears cluster c's allocation bit.
void set_allocated(std::vector<uint8_t>& image, uint32_t cluster, bool used);
// First cluster and sizes in the stream entry of the set at offset.
uint32_t set_first_cluster(const std::vector<uint8_t>& image, uint64_t offset);

}  // namespace qv::test
