#pragma once
// The allocation unit of the file system a volume holds, read from its boot
// sector or superblock alone, for the deep scan's search of files in pieces.

#include <cstdint>

namespace qv {

class device_handle;

// Bytes per cluster (FAT, exFAT, NTFS) or per block (ext2/3/4); 0 when the
// device starts with none of them or its fields are out of range.
uint64_t volume_cluster_size(device_handle& device);

}  // namespace qv
