#include "ui/tree_model.hpp"

tree_node* tree_node::add_child(const QString& child_title, const void* child_payload) {
    auto child = std::make_unique<tree_node>();
    child->title = child_title;
    child->payload = child_payload;
    return adopt(std::move(child));
}

tree_node* tree_node::adopt(std::unique_ptr<tree_node> child) {
    child->parent = this;
    child->position = int(children.size());
    children.push_back(std::move(child));
    return children.back().get();
}

TreeModel::TreeModel(QObject* parent)
    : QAbstractItemModel(parent), folder_icon_(":/images/recovery/folder.png") {
    root_.title = "Title";
}

TreeModel::~TreeModel() = default;

const tree_node* TreeModel::node(const QModelIndex& index) {
    return index.isValid() ? static_cast<const tree_node*>(index.internalPointer()) : nullptr;
}

QModelIndex TreeModel::index(int row, int column, const QModelIndex& parent) const {
    if (!hasIndex(row, column, parent)) return {};
    const tree_node* p = parent.isValid() ? node(parent) : &root_;
    return createIndex(row, column, const_cast<tree_node*>(p->children[size_t(row)].get()));
}

QModelIndex TreeModel::parent(const QModelIndex& index) const {
    const tree_node* n = node(index);
    if (!n || !n->parent || n->parent == &root_) return {};
    return createIndex(n->parent->row(), 0, const_cast<tree_node*>(n->parent));
}

int TreeModel::rowCount(const QModelIndex& parent) const {
    if (parent.column() > 0) return 0;
    const tree_node* p = parent.isValid() ? node(parent) : &root_;
    return int(p->children.size());
}

int TreeModel::columnCount(const QModelIndex&) const {
    return 1;
}

QVariant TreeModel::data(const QModelIndex& index, int role) const {
    const tree_node* n = node(index);
    if (!n) return {};
    if (role == Qt::DisplayRole) return n->title;
    if (role == Qt::DecorationRole) return folder_icon_;
    return {};
}

QVariant TreeModel::headerData(int, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole) return root_.title;
    return {};
}

Qt::ItemFlags TreeModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsSelectable | Qt::ItemIsEnabled;
}
