#pragma once
// Paths and folder trees of a scan result: the one walk up the parent chain
// (with its loop guard) and the one folder-tree builder, for the window and the command line.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/found_item.hpp"

namespace qv {

// Finds the items of a result by id. Keeps a pointer to the list: it must
// outlive the index and stay unchanged.
class item_index {
public:
    explicit item_index(const std::vector<found_item>& items);
    const found_item* find(uint64_t id) const;
    const std::vector<found_item>& items() const { return *items_; }

private:
    const std::vector<found_item>* items_;
    std::unordered_map<uint64_t, size_t> by_id_;
};

struct item_chain {
    // From the topmost folder reached down to the item itself (last).
    std::vector<const found_item*> items;
    // False when the walk up did not reach the root: a parent is missing, is
    // not a folder, or the parents run in a loop. items then starts below the break.
    bool complete = false;
};

// The chain of folders above an item. Empty (and incomplete) when id is unknown.
item_chain chain_of(const item_index& index, uint64_t id);

// "/"-separated names from the topmost folder below the root down to the item,
// after prefix ("/mnt/usb" gives "/mnt/usb/Docs/a.txt"); nullopt when the
// chain is incomplete. A trailing '/' or '\' of the prefix is dropped.
std::optional<std::string> item_path(const item_index& index, uint64_t id, std::string prefix = {});

// Folders deeper than this below "/" are cut off (a hostile volume can nest without end).
inline constexpr int folder_tree_max_depth = 512;

struct folder_node {
    const found_item* item = nullptr;        // null for "/" and for a carved file type's folder
    std::string name;                        // "/" for the root
    std::vector<size_t> folders;             // sub-folders: indices into folder_tree::nodes
    std::vector<const found_item*> files;    // the folder's file rows, in result order
};

struct folder_tree {
    // nodes[0] is "/"; empty for an empty tree.
    std::vector<folder_node> nodes;
    // True when "/" or any folder below it has a file row.
    bool has_results() const;
};

// The folder tree of a result: "/" holds the files whose parent is the root;
// below it every folder that has a file row somewhere beneath it, depth
// first in result order. Carved files (with a type) sit in one folder per
// type under "/", in the order of the type names. Items that cannot be reached
// from the root (broken or looping parents) are left out; every folder is
// visited once.
folder_tree build_folder_tree(const std::vector<found_item>& items);

}  // namespace qv
