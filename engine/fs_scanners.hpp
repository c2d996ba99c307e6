#pragma once
// The file-system scanners over the thread-free cores, for callers that need
// more of one than the scanner face gives (the window's adapters, the tests).

#include <atomic>
#include <string>
#include <unordered_map>

#include "engine/exfat_core.hpp"
#include "engine/fat_core.hpp"
#include "engine/ntfs_core.hpp"
#include "engine/scanner.hpp"

namespace qv {

// FAT12/16/32 over fat_core.
class fat_scanner final : public scanner {
public:
    const scanner_kind& kind() const override;
    scan_report scan(device_handle& device, const scan_hooks& hooks) override;
    // The scan as the core gives it (items by first cluster; see fat_core::scan).
    fat_item_map scan_map(device_handle& device, const scan_hooks& hooks);
    uint64_t unreadable_so_far() const override { return core_.problems().unreadable_bytes(); }
    recovery_status recover(const found_item& item, const std::string& destination) override;
    std::vector<byte_range> item_extents(std::span<const found_item> items) const override;
    fat_core& core() { return core_; }
    const fat_core& core() const { return core_; }

private:
    // What a recovery takes of each file of the last scan: its size and whether it is deleted.
    struct known_file {
        uint32_t size = 0;
        bool deleted = false;
    };
    fat_core core_;
    device_handle* device_ = nullptr;
    std::unordered_map<uint64_t, known_file> known_;
};

// exFAT over exfat_core.
class exfat_scanner final : public scanner {
public:
    const scanner_kind& kind() const override;
    scan_report scan(device_handle& device, const scan_hooks& hooks) override;
    uint64_t unreadable_so_far() const override { return core_.unreadable_bytes(); }
    recovery_status recover(const found_item& item, const std::string& destination) override;
    std::vector<byte_range> item_extents(std::span<const found_item> items) const override;
    exfat_core& core() { return core_; }
    // What the open of the last scan's volume said (0, or an exfat::open_error).
    int open_error() const { return open_error_; }

private:
    exfat_core core_;
    device_handle* device_ = nullptr;
    int open_error_ = 0;
};

// NTFS over ntfs_core. Live files are recovered the same way as deleted ones:
// from the volume's own records, never through a mounted file system.
class ntfs_scanner final : public scanner {
public:
    const scanner_kind& kind() const override;
    scan_report scan(device_handle& device, const scan_hooks& hooks) override;
    // The scan as the core gives it (the record map), with the report's problems in *problems.
    ntfs_item_map scan_records(device_handle& device, const scan_hooks& hooks, scan_problems* problems);
    uint64_t unreadable_so_far() const override { return unreadable_.load(std::memory_order_relaxed); }
    recovery_status recover(const found_item& item, const std::string& destination) override;
    recovery_status recover(uint64_t record, const std::string& destination);
    std::vector<byte_range> item_extents(std::span<const found_item> items) const override;
    ntfs_core& core() { return core_; }
    // What the open of the last scan's volume said (0, or the library's negative result).
    int open_error() const { return open_error_; }

private:
    ntfs_core core_;
    int open_error_ = 0;
    device_handle* device_ = nullptr;
    std::atomic<uint64_t> unreadable_{0};
};

// The end of a scan from the token and whether the device went away.
read_end scan_end(const scan_hooks& hooks, bool device_gone);

}  // namespace qv
