#include "ui/result_tree.hpp"

#include <unordered_set>

namespace {

constexpr uint8_t fat_directory = 0x10;

QString utf16_name(const char16_t* name) {
    return QString::fromUtf16(name);
}

// Depth first over an item's children, adding the children that qualify as
// folders. Visited items are never added twice, so a parent loop in hostile
// metadata cannot recurse without end.
template <typename Item, typename IsFolder>
void add_folders(tree_node* node, const Item& item, IsFolder is_folder, int depth,
                 std::unordered_set<const void*>& visited) {
    if (depth >= folder_tree_max_depth) return;
    for (const Item* child : item.children) {
        if (!child || !is_folder(*child) || !visited.insert(child).second) continue;
        tree_node* folder = node->add_child(utf16_name(child->name), child);
        add_folders(folder, *child, is_folder, depth + 1, visited);
    }
}

// Appends a "/" node for the root item with every folder below it. Built
// completely, then appended, as a model's rows must not change unannounced.
template <typename Item, typename IsFolder>
void add_root_folder(TreeModel& model, const Item& root, IsFolder is_folder) {
    auto slash = std::make_unique<tree_node>();
    slash->title = "/";
    slash->payload = &root;
    std::unordered_set<const void*> visited{&root};
    add_folders(slash.get(), root, is_folder, 0, visited);
    model.root()->adopt(std::move(slash));
}

}  // namespace

void add_fat_folders(TreeModel& model, const fat_recovery_c::item_map& items) {
    auto root = items.find(0);
    if (root == items.end()) return;
    add_root_folder(model, root->second, [](const fat_item_s& c) {
        return (c.attributes & fat_directory) && c.has_files && c.cluster != 0;
    });
}

QList<recovery_item_s> fat_folder_rows(const fat_item_s& folder) {
    QList<recovery_item_s> rows;
    for (const fat_item_s* child : folder.children) {
        if (!child || (child->attributes & fat_directory) || child->cluster == 0) continue;
        recovery_item_s row;
        row.name = utf16_name(child->name);
        row.size = child->size;
        row.date1 = child->modified;
        row.date2 = child->created;
        row.id = child->cluster;
        row.attributes = child->attributes;
        rows.append(row);
    }
    return rows;
}

#if QUORVANE_HAVE_NTFS
namespace {

bool ntfs_shown(const ntfs_item_s& item) {
    return int64_t(item.id) > int64_t(ntfs_last_metadata_id);
}

}  // namespace

void add_ntfs_folders(TreeModel& model, const ntfs_recovery_c::item_map& items) {
    auto root = items.find(ntfs_root_id);
    if (root == items.end()) return;
    add_root_folder(model, root->second, [](const ntfs_item_s& c) {
        return (c.flags & ntfs_flag_directory) && c.has_files && ntfs_shown(c);
    });
}

QList<recovery_item_s> ntfs_folder_rows(const ntfs_item_s& folder) {
    QList<recovery_item_s> rows;
    for (const ntfs_item_s* child : folder.children) {
        if (!child || !(child->flags & ntfs_flag_file) || !ntfs_shown(*child)) continue;
        recovery_item_s row;
        row.name = utf16_name(child->name);
        row.size = child->size;
        row.date1 = child->date1;
        row.date2 = child->date2;
        row.id = child->id;
        row.attributes = child->flags;
        rows.append(row);
    }
    return rows;
}
#endif

#if QUORVANE_HAVE_DEEP
void add_deep_folders(TreeModel& model, const raw_recovery_c::type_map& types) {
    auto slash = std::make_unique<tree_node>();
    slash->title = "/";
    for (const auto& [type, list] : types)
        slash->add_child(QString::fromLatin1(type.data(), qsizetype(type.size())), &list);
    model.root()->adopt(std::move(slash));
}

QList<recovery_item_s> deep_folder_rows(const std::vector<raw_item_s>& records,
                                        const std::vector<uint64_t>& list,
                                        const std::vector<qv::sig::file_facts>& facts) {
    QList<recovery_item_s> rows;
    rows.reserve(qsizetype(list.size()));
    for (uint64_t i : list) {
        if (i >= records.size()) continue;
        rows.append(raw_recovery_c::row(records[i], i, i < facts.size() ? facts[i].taken : 0));
    }
    return rows;
}
#endif

bool tree_has_results(const TreeModel& model) {
    const tree_node* root = model.root();
    return !root->children.empty() && !root->children.front()->children.empty();
}
