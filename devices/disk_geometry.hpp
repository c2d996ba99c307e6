#pragma once
// Cylinder/head/sector geometry of a drive, as the partition-table repair needs it.

#include <cstdint>

namespace qv {

struct disk_geometry {
    int64_t cylinders = 0;
    uint32_t media_type = 12;  // 11 removable medium, 12 fixed medium
    uint32_t tracks_per_cylinder = 255;
    uint32_t sectors_per_track = 63;
    uint32_t bytes_per_sector = 512;
};

}  // namespace qv
