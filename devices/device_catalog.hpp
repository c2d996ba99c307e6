#pragma once
// The one place that knows /sys, /dev and image files: lists drives and
// volumes and opens any drive or volume path.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "devices/device_handle.hpp"
#include "devices/disk_geometry.hpp"

namespace qv {

// What an open through udisks2 or the pkexec helper tells the user about.
enum class open_notice {
    asking_password,  // a password is asked to read the device
    asking_write,     // a password is asked to write the device (the partition repair)
    in_use,           // opened, but mounted or claimed elsewhere: read while in use
};
using open_notice_hook = std::function<void(open_notice, const std::string& path)>;

// Whether open() may ask for a password (udisks2 or pkexec) when plain open() is refused.
enum class open_asking { may_ask, never_ask };

// Drive numbers run 0..max_drives-1; the NTFS device names use the letters a-z.
inline constexpr int max_drives = 26;

struct drive_info {
    int number = -1;
    std::string path;         // "/dev/sdb" or the image's absolute path
    std::string kernel_name;  // "sdb"; empty for an image
    bool is_image = false;
    bool ready = false;       // the process can open it for reading
    bool needs_authorization = false;  // readable after a password (udisks2 or pkexec)
    bool removable = false;
    uint64_t size = 0;        // bytes
    uint32_t sector_size = 512;
    disk_geometry geometry;
    dev_t devno = 0;
};

struct volume_info {
    std::string path;             // "/dev/sdb1", "/data/card.img#1" or "/data/card.img"
    int drive_number = -1;
    int partition_number = 0;     // 0 for a whole-drive volume
    uint64_t offset = 0;          // bytes from the start of the drive
    uint64_t length = 0;          // bytes
    std::string file_system;      // "FAT32", "NTFS", ... or empty
    std::string label;
    std::string mount_path;       // first mount point; empty when not mounted
    uint64_t total_bytes = 0;
    uint64_t free_bytes = 0;
    bool free_known = false;      // statvfs of the mount answered
    bool removable = false;
    bool readable = false;
    bool needs_authorization = false;  // readable after a password (udisks2 or pkexec)
    dev_t devno = 0;              // block-device volumes only
};

class device_catalog {
public:
    // The catalog of this process. Images opened by the user stay for its life.
    static device_catalog& shared();

    device_catalog() = default;
    device_catalog(const device_catalog&) = delete;
    device_catalog& operator=(const device_catalog&) = delete;

    // Reads QUORVANE_IMAGES (':'-separated image paths) and QUORVANE_IMAGES_ONLY.
    void apply_environment();
    // Whether the machine's block devices are listed (on by default).
    void set_block_devices_enabled(bool enabled);
    // Adds an image file (or a block device named by the user) as a drive.
    // Returns its drive number, the existing one when it is already listed,
    // or -1 with a message in error.
    int open_image(const std::string& path, std::string* error = nullptr);
    void close_images();

    // Drives in drive-number order, freshly read from /sys and the images.
    std::vector<drive_info> drives() const;
    // Every volume found on those drives, in drive order then partition order.
    std::vector<volume_info> volumes() const;

    // Opens a drive or volume path (see volume_info::path, drive_info::path,
    // any block device or regular file, and the NTFS names "/dev/hd<letter><n>").
    // A block device this process may not open is asked for through udisks2
    // ("r", or "rw" for read_write), else through the pkexec open helper.
    std::unique_ptr<device_handle> open(const std::string& path, access_mode mode,
                                        std::string* error = nullptr,
                                        open_asking asking = open_asking::may_ask) const;

    // Called (on the opening thread) when a password is asked or a volume is in use.
    void set_open_notice(open_notice_hook hook);

    // Where a volume path lies: its drive number, partition number and byte
    // offset on that drive. Empty when the path is unknown.
    std::optional<volume_info> locate(const std::string& path) const;
    std::optional<drive_info> drive(int number) const;

    // Turns "/dev/hd<letter><digits>" into the volume or drive path it names.
    std::optional<std::string> resolve_ntfs_name(const std::string& name) const;

private:
    // Every drive, numbered; with prefix_of, only those whose path begins it.
    std::vector<drive_info> scan_drives(const std::string& prefix_of = {}) const;
    // The kernel's disks this catalog lists, in the order it numbers them.
    static std::vector<std::string> listed_disk_names();
    std::vector<volume_info> volumes_of(const drive_info& d) const;
    // A descriptor for a drive, volume or image file, by the route that works.
    int open_fd(const std::string& file, access_mode mode, open_asking asking, std::string* error) const;
    void notify(open_notice what, const std::string& path) const;

    mutable std::mutex mutex_;
    bool block_devices_ = true;
    std::vector<std::string> images_;
    mutable std::mutex notice_mutex_;
    open_notice_hook notice_;
};

// Whether udisks2, or pkexec with the open helper, can open what this user may not.
bool authorisation_route_exists();

// Orders kernel names naturally (sda < sdb < sdaa, nvme0n1 < nvme0n10), loop devices last.
bool kernel_name_less(const std::string& a, const std::string& b);

}  // namespace qv
