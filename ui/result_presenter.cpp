#include "ui/result_presenter.hpp"

#include <QItemSelectionModel>
#include <QSet>
#include <QTreeView>

#include "engine/item_paths.hpp"
#include "ui/recovery_base.hpp"
#include "ui/recovery_model.hpp"
#include "ui/result_tree.hpp"
#include "ui/row_filter.hpp"
#include "ui/table_header.hpp"
#include "ui/table_view.hpp"
#include "ui/tree_model.hpp"

namespace qv::ui {

result_presenter_c::result_presenter_c(QTreeView* tree, MyQTableView* table, MyHeaderView* header,
                                       QObject* parent)
    : QObject(parent), tree_(tree), table_(table), header_(header) {
    install_tree_model(new TreeModel(this));
    install_table_model();
}

result_presenter_c::~result_presenter_c() = default;

void result_presenter_c::install_tree_model(TreeModel* model) {
    QItemSelectionModel* old_selection = tree_->selectionModel();
    TreeModel* old = tree_model_;
    tree_model_ = model;
    tree_->setModel(model);
    delete old_selection;
    delete old;
}

void result_presenter_c::install_table_model() {
    QItemSelectionModel* old_selection = table_->selectionModel();
    recovery_model_c* old = table_model_;
    table_model_ = new recovery_model_c(rows_, this);
    table_->setModel(table_model_);
    delete old_selection;
    delete old;
}

bool result_presenter_c::show_result(recovery_base_c* engine) {
    auto tree = std::make_unique<qv::folder_tree>();
    if (engine) *tree = qv::build_folder_tree(engine->found_items());
    auto* model = new TreeModel(this);
    add_result_folders(*model, *tree);
    if (!tree_has_results(*model)) {
        delete model;
        clear_tree();
        return false;
    }
    install_tree_model(model);
    damaged_.clear();
    // The old model went with install_tree_model; now its tree may go too.
    folder_ = nullptr;
    folder_tree_ = std::move(tree);
    tree_->expandToDepth(0);
    return true;
}

void result_presenter_c::clear_tree() {
    install_tree_model(new TreeModel(this));
    damaged_.clear();
    folder_ = nullptr;
    folder_tree_.reset();
}

void result_presenter_c::clear_table() {
    folder_ = nullptr;
    folder_row_count_ = 0;
    rows_.clear();
    install_table_model();
    header_->set_check_all_state(false);
}

void result_presenter_c::fill_table(const QModelIndex& folder, bool rows_allowed) {
    const tree_node* node = TreeModel::node(folder);
    const void* payload = node ? node->payload : nullptr;
    folder_ = payload && rows_allowed ? static_cast<const qv::folder_node*>(payload) : nullptr;
    rows_.clear();
    show_folder_rows();
}

void result_presenter_c::set_filter(const qv::item_filter& filter) {
    filter_ = filter;
    QSet<uint64_t> ticked;
    for (const recovery_item_s& row : rows_)
        if (row.ticked & 0xFF) ticked.insert(row.id);
    show_folder_rows();
    bool any = false;
    for (recovery_item_s& row : rows_)
        if (ticked.contains(row.id)) {
            row.ticked = 1;
            any = true;
        }
    if (any) install_table_model();
}

void result_presenter_c::show_folder_rows() {
    QList<recovery_item_s> all = folder_ ? folder_rows(*folder_) : QList<recovery_item_s>();
    for (recovery_item_s& row : all)
        if (damaged_.contains(row.id)) row.state = qv::item_state::damaged;
    folder_row_count_ = int(all.size());
    rows_ = filtered_rows(all, filter_);
    install_table_model();
    header_->set_check_all_state(false);
    emit table_filled(int(rows_.size()), folder_row_count_);
}

void result_presenter_c::mark_damaged(const QList<uint64_t>& ids) {
    if (ids.isEmpty()) return;
    for (uint64_t id : ids) damaged_.insert(id);
    for (recovery_item_s& row : rows_)
        if (damaged_.contains(row.id)) row.state = qv::item_state::damaged;
    table_->viewport()->update();
}

void result_presenter_c::check_all(bool value) {
    for (recovery_item_s& row : rows_) row.ticked = value ? 1 : 0;
    install_table_model();
}

void result_presenter_c::toggle_tick(int row) {
    if (row < 0 || row >= rows_.size()) return;
    table_model_->set_ticked(row, (rows_[row].ticked & 0xFF) ? 0 : 1);
}

void result_presenter_c::sort_by_column(int column) {
    // The current row stays current: it is looked up again by its id after the sort.
    QModelIndex current = table_->currentIndex();
    bool had_current = current.isValid() && current.row() < rows_.size();
    uint64_t id = had_current ? rows_[current.row()].id : 0;
    table_model_->sort_by_column(column);
    if (!had_current) return;
    for (qsizetype i = 0; i < rows_.size(); ++i)
        if (rows_[i].id == id) {
            table_->selectionModel()->setCurrentIndex(table_model_->index(int(i), current.column()),
                                                      QItemSelectionModel::ClearAndSelect |
                                                          QItemSelectionModel::Rows);
            break;
        }
}

}  // namespace qv::ui
