#include "engine/ntfs_lost_files.hpp"

#include "ntfsscan/parent_link.hpp"

namespace qv {

bool ntfs_parent_lost(const ntfs_record_s& item, const ntfs_record_s* parent) {
    if (!parent) return true;
    if (!(parent->flags & ntfs_flag_directory) || (parent->flags & ntfs_flag_file)) return true;
    bool parent_in_use = !(parent->flags & ntfs_flag_deleted);
    return !ntfs::parent_still_holds(item.parent_sequence, parent_in_use, parent->sequence);
}

}  // namespace qv
