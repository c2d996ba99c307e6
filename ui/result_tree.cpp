#include "ui/result_tree.hpp"

#include <memory>

namespace qv::ui {

namespace {

const void* payload_of(const qv::folder_node& node) {
    return node.files.empty() ? nullptr : &node;
}

// Copies the folders below node into the model's node, depth first. The tree
// builder visited every folder once, so this ends.
void add_folders(tree_node* into, const qv::folder_tree& tree, const qv::folder_node& node) {
    for (size_t index : node.folders) {
        if (index >= tree.nodes.size()) continue;
        const qv::folder_node& child = tree.nodes[index];
        tree_node* folder = into->add_child(QString::fromStdString(child.name), payload_of(child));
        add_folders(folder, tree, child);
    }
}

}  // namespace

void add_result_folders(TreeModel& model, const qv::folder_tree& tree) {
    if (tree.nodes.empty()) return;
    // Built completely, then appended, as a model's rows must not change unannounced.
    auto slash = std::make_unique<tree_node>();
    slash->title = "/";
    slash->payload = payload_of(tree.nodes[0]);
    add_folders(slash.get(), tree, tree.nodes[0]);
    model.root()->adopt(std::move(slash));
}

recovery_item_s row_of(const qv::found_item& item) {
    recovery_item_s row;
    row.name = QString::fromStdString(item.name);
    row.size = item.size;
    row.date1 = item.modified;
    row.date2 = item.created;
    row.id = item.id;
    row.attributes = int32_t(item.attributes);
    row.state = item.state;
    row.short_name = QString::fromStdString(item.short_name);
    return row;
}

QList<recovery_item_s> folder_rows(const qv::folder_node& folder) {
    QList<recovery_item_s> rows;
    rows.reserve(qsizetype(folder.files.size()));
    for (const qv::found_item* item : folder.files)
        if (item) rows.append(row_of(*item));
    return rows;
}

bool tree_has_results(const TreeModel& model) {
    const tree_node* root = model.root();
    if (root->children.empty()) return false;
    const tree_node* slash = root->children.front().get();
    return slash->payload != nullptr || !slash->children.empty();
}

}  // namespace qv::ui
