#pragma once
// Free space of a volume that is not mounted, counted from its own allocation
// records, through the scanner registry: FAT free entries (the FSInfo sector
// is only a hint), NTFS $Bitmap, the exFAT allocation bitmap.

#include <QList>

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "devices/device_handle.hpp"
#include "devices/volume_items.hpp"

namespace qv {

// Free bytes of the FAT volume on device: free clusters of the first FAT
// times the cluster size. Nothing when the boot sector or the table cannot be
// read whole.
std::optional<uint64_t> fat_free_bytes(device_handle& device);

// Free bytes counted by the scanner that reads the file system ("FAT32",
// "NTFS", "exFAT", ...; by probe where the name is empty); nothing for other
// file systems or when the count cannot be made.
std::optional<uint64_t> file_system_free_bytes(std::unique_ptr<device_handle> device, std::string_view file_system);

// Counts the free space of each listed volume whose free space is not known
// yet (not mounted), opening it read-only through the device catalog.
void count_unmounted_free_space(QList<volume_item_s>& volumes);

}  // namespace qv
