#pragma once
// The recovery page's result views: the folder tree of a finished scan, the
// file table of the clicked folder, its ticks and its sorting.

#include <QList>
#include <QModelIndex>
#include <QObject>
#include <QSet>

#include <memory>

#include "engine/item_filter.hpp"
#include "ui/recovery_item.hpp"

class MyHeaderView;
class MyQTableView;
class QTreeView;
class TreeModel;
class recovery_base_c;
class recovery_model_c;
namespace qv {
struct folder_node;
struct folder_tree;
}

namespace qv::ui {

class result_presenter_c : public QObject {
    Q_OBJECT
public:
    // The views belong to the page; the presenter puts its models on them.
    result_presenter_c(QTreeView* tree, MyQTableView* table, MyHeaderView* header, QObject* parent = nullptr);
    ~result_presenter_c() override;

    // Puts the folder tree of the engine's found items on the tree view; false
    // (and an empty tree) when "/" holds no result.
    bool show_result(recovery_base_c* engine);
    // An empty tree (the tree of the last result goes).
    void clear_tree();
    // No rows, no tick in the header.
    void clear_table();
    // The rows of one folder of the tree that pass the filter; none when rows_allowed is false.
    void fill_table(const QModelIndex& folder, bool rows_allowed);
    // Shows only the rows of the folder that pass filter; rows still shown keep their ticks.
    // What the scan found stays as it is.
    void set_filter(const qv::item_filter& filter);
    const qv::item_filter& filter() const { return filter_; }
    void check_all(bool value);
    // Ticks or unticks a row.
    void toggle_tick(int row);
    // Sorts the table by a column; the current row stays current.
    void sort_by_column(int column);
    // Files that a recovery found unreadable in parts: their rows show them
    // damaged from now on, also when their folder is shown again, until the next result.
    void mark_damaged(const QList<uint64_t>& ids);

    TreeModel* tree_model() const { return tree_model_; }
    recovery_model_c* table_model() const { return table_model_; }
    const QList<recovery_item_s>& rows() const { return rows_; }
    // Rows of the shown folder before the filter.
    int folder_row_count() const { return folder_row_count_; }

signals:
    // The table was filled again: shown rows of the folder's total.
    void table_filled(int shown, int total);

private:
    // Puts the folder's rows that pass the filter on the table.
    void show_folder_rows();

    void install_tree_model(TreeModel* model);
    void install_table_model();

    QTreeView* tree_;
    MyQTableView* table_;
    MyHeaderView* header_;
    TreeModel* tree_model_ = nullptr;
    recovery_model_c* table_model_ = nullptr;
    // The folder tree the tree model's nodes point into.
    std::unique_ptr<qv::folder_tree> folder_tree_;
    QList<recovery_item_s> rows_;
    QSet<uint64_t> damaged_;  // ids found damaged by a recovery of this result
    qv::item_filter filter_;
    // The folder the table shows (a node of folder_tree_), and its row count before the filter.
    const qv::folder_node* folder_ = nullptr;
    int folder_row_count_ = 0;
};

}  // namespace qv::ui
