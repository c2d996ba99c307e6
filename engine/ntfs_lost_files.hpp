#pragma once
// NTFS files whose folder is gone: their parent record was reused by another
// file or folder, or is missing. They are shown under one folder for lost files.

#include <cstdint>

#include "ntfsscan/ntfsscan.hpp"

namespace qv {

// The id of the folder for lost files: no MFT record has this number (they are 48-bit).
inline constexpr uint64_t ntfs_lost_files_id = uint64_t(1) << 48;

// True when item's folder is lost: parent is null (the record is not a folder
// of the result), is not a folder, or its sequence number says the record now
// holds another file than the one item's reference named.
bool ntfs_parent_lost(const ntfs_record_s& item, const ntfs_record_s* parent);

}  // namespace qv
