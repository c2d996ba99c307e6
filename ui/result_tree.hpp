#pragma once
// Turns an engine's results into folder trees and file-table rows.

#include <QList>

#include <cstdint>
#include <vector>

#include "engine/fat_recovery.hpp"
#include "engine/recovery_item.hpp"
#include "ui/tree_model.hpp"

#if QUORVANE_HAVE_NTFS
#include "engine/ntfs_recovery.hpp"
#endif
#if QUORVANE_HAVE_DEEP
#include "engine/raw_recovery.hpp"
#endif

// Folder trees deeper than this are cut off (a hostile volume can nest without end).
inline constexpr int folder_tree_max_depth = 512;

// Adds "/" under the model's root with every directory below it that holds a
// file somewhere beneath, depth first in children order. No "/" when the map
// has no root item (id 0).
void add_fat_folders(TreeModel& model, const fat_recovery_c::item_map& items);
// The file rows of one FAT folder: its children that are not directories.
QList<recovery_item_s> fat_folder_rows(const fat_item_s& folder);

#if QUORVANE_HAVE_NTFS
// The same from the NTFS root (record 5); records 0 to 11 are never shown.
void add_ntfs_folders(TreeModel& model, const ntfs_recovery_c::item_map& items);
QList<recovery_item_s> ntfs_folder_rows(const ntfs_item_s& folder);
#endif

#if QUORVANE_HAVE_DEEP
// "/" with one folder per found file type, whose payload is the type's list.
void add_deep_folders(TreeModel& model, const raw_recovery_c::type_map& types);
// One row per listed record number ("00000012.jpg"); numbers past the end are skipped.
// facts (may be shorter, or empty) gives each record's capture time as its date.
QList<recovery_item_s> deep_folder_rows(const std::vector<raw_item_s>& records,
                                        const std::vector<uint64_t>& list,
                                        const std::vector<qv::sig::file_facts>& facts = {});
#endif

// True when the model has a "/" folder with at least one folder under it.
bool tree_has_results(const TreeModel& model);
