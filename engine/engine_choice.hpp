#pragma once
// Which scan engine reads a volume: chosen once, from its file system, for the window and the command line.

#include <string>
#include <string_view>

// The engine kinds; the window, the recovery worker and the command line use these numbers.
enum recovery_engine_kind : int {
    engine_kind_none = -1,
    engine_kind_fat = 0,
    engine_kind_ntfs = 1,
    engine_kind_deep = 2,
    engine_kind_exfat = 3,
};

namespace qv {

// The engine for a volume whose file system blkid names file_system ("FAT12",
// "FAT16", "FAT32", "NTFS", "exFAT", ...): deep when a deep scan was asked for, else
// the file system's own engine; engine_kind_none when no engine reads it.
recovery_engine_kind choose_engine(std::string_view file_system, bool deep);
// "fat", "ntfs", "exfat", "deep", or empty for engine_kind_none.
std::string engine_name(recovery_engine_kind kind);

}  // namespace qv
