#pragma once
// What udev's database says about a block device (readable by every user):
// the file system of a volume the process may not open itself.

#include <sys/types.h>

#include <string>

namespace qv {

struct udev_file_system {
    std::string type;     // ID_FS_TYPE: "vfat", "ntfs", ...
    std::string version;  // ID_FS_VERSION: "FAT32", ...
    std::string label;    // ID_FS_LABEL_ENC decoded, else ID_FS_LABEL
};

// Reads <root>/b<major>:<minor> ("/run/udev/data" by default); empty fields
// when udev has no entry.
udev_file_system udev_file_system_of(dev_t devno, const std::string& root = "/run/udev/data");

}  // namespace qv
