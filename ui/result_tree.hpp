#pragma once
// Puts a scan result's folder tree on the tree model and makes the file-table rows of a folder.

#include <QList>

#include "engine/found_item.hpp"
#include "engine/item_paths.hpp"
#include "ui/recovery_item.hpp"
#include "ui/tree_model.hpp"

namespace qv::ui {

// Adds "/" and the tree's folders under the model's root, in the tree's order.
// A node's payload is its qv::folder_node when the folder has file rows, else
// null; the tree must outlive the model. Nothing is added for an empty tree.
void add_result_folders(TreeModel& model, const qv::folder_tree& tree);
// The file rows of one folder.
QList<recovery_item_s> folder_rows(const qv::folder_node& folder);
// The file-table row of one found item.
recovery_item_s row_of(const qv::found_item& item);

// True when the model has a "/" folder that holds rows or a folder below it.
bool tree_has_results(const TreeModel& model);

}  // namespace qv::ui
