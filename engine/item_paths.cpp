#include "engine/item_paths.hpp"

#include <algorithm>
#include <map>
#include <unordered_set>

namespace qv {

item_index::item_index(const std::vector<found_item>& items) : items_(&items) {
    by_id_.reserve(items.size());
    for (size_t i = 0; i < items.size(); ++i) by_id_.emplace(items[i].id, i);
}

const found_item* item_index::find(uint64_t id) const {
    auto it = by_id_.find(id);
    return it == by_id_.end() ? nullptr : &(*items_)[it->second];
}

item_chain chain_of(const item_index& index, uint64_t id) {
    item_chain chain;
    const found_item* item = index.find(id);
    if (!item) return chain;
    chain.items.push_back(item);
    std::unordered_set<uint64_t> seen{id};
    uint64_t parent = item->parent;
    for (;;) {
        if (parent == 0) {
            chain.complete = true;
            break;
        }
        const found_item* folder = index.find(parent);
        if (!folder || !folder->directory || !seen.insert(parent).second) break;
        chain.items.push_back(folder);
        parent = folder->parent;
    }
    std::reverse(chain.items.begin(), chain.items.end());
    return chain;
}

std::optional<std::string> item_path(const item_index& index, uint64_t id, std::string prefix) {
    item_chain chain = chain_of(index, id);
    if (!chain.complete) return std::nullopt;
    if (!prefix.empty() && (prefix.back() == '/' || prefix.back() == '\\')) prefix.pop_back();
    for (const found_item* item : chain.items) {
        prefix += '/';
        prefix += item->name;
    }
    return prefix;
}

bool folder_tree::has_results() const {
    for (const folder_node& node : nodes)
        if (!node.files.empty()) return true;
    return false;
}

namespace {

struct tree_builder {
    const std::vector<found_item>& items;
    // Children of each folder id (0 = the root), in result order.
    std::unordered_map<uint64_t, std::vector<const found_item*>> children;
    std::unordered_set<uint64_t> visited;
    folder_tree tree;

    // Adds the folder's sub-folders and files below node; true when a file row
    // lies at or below it. Nodes of folders without one are taken back.
    bool fill(size_t node, uint64_t id, int depth) {
        auto it = children.find(id);
        if (it == children.end()) return false;
        bool any = false;
        for (const found_item* child : it->second) {
            if (!child->directory) {
                tree.nodes[node].files.push_back(child);
                any = true;
                continue;
            }
            if (depth >= folder_tree_max_depth || !visited.insert(child->id).second) continue;
            size_t mark = tree.nodes.size();
            tree.nodes.push_back(folder_node{child, child->name, {}, {}});
            if (fill(mark, child->id, depth + 1)) {
                tree.nodes[node].folders.push_back(mark);
                any = true;
            } else {
                tree.nodes.resize(mark);
            }
        }
        return any;
    }
};

}  // namespace

folder_tree build_folder_tree(const std::vector<found_item>& items) {
    tree_builder b{items, {}, {}, {}};
    b.tree.nodes.push_back(folder_node{nullptr, "/", {}, {}});
    std::map<std::string, std::vector<const found_item*>> by_type;
    for (const found_item& item : items) {
        if (!item.type.empty() && !item.directory && item.parent == 0)
            by_type[item.type].push_back(&item);
        else if (item.id != 0)  // nothing is its own root
            b.children[item.parent].push_back(&item);
    }
    b.visited.insert(0);
    b.fill(0, 0, 0);
    for (auto& [type, files] : by_type) {
        b.tree.nodes[0].folders.push_back(b.tree.nodes.size());
        b.tree.nodes.push_back(folder_node{nullptr, type, {}, std::move(files)});
    }
    return b.tree;
}

}  // namespace qv
