#pragma once
// The folder tree of a scan's results: one node per folder, each pointing at the
// engine result it stands for.

#include <QAbstractItemModel>
#include <QIcon>
#include <QList>
#include <QString>

#include <memory>
#include <vector>

struct tree_node {
    std::vector<std::unique_ptr<tree_node>> children;  // sub-folders, in the order added
    QString title;
    tree_node* parent = nullptr;
    // The result folder this node stands for (a qv::folder_node); not owned.
    // Null for the invisible root and for folders without file rows of their own.
    const void* payload = nullptr;

    // Appends a child made from title and payload and returns it.
    tree_node* add_child(const QString& title, const void* payload);
    // Appends a child built elsewhere and returns it.
    tree_node* adopt(std::unique_ptr<tree_node> child);
    // Position among the parent's children (0 for the root).
    int row() const { return position; }
    int position = 0;
};

class TreeModel : public QAbstractItemModel {
    Q_OBJECT
public:
    explicit TreeModel(QObject* parent = nullptr);
    ~TreeModel() override;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& index) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // The invisible root ("Title"); fill it before handing the model to a view.
    tree_node* root() { return &root_; }
    const tree_node* root() const { return &root_; }
    // The node an index stands for; null for an invalid index.
    static const tree_node* node(const QModelIndex& index);

private:
    tree_node root_;
    QIcon folder_icon_;
};
