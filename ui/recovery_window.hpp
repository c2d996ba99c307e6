#pragma once
// The recovery page: puts together the scan control, the result views and the
// preview, shows the scan's progress, and recovers the ticked files.

#include <QDir>
#include <QList>
#include <QWidget>

#include <memory>

#include "devices/volume_items.hpp"
#include "ui/file_preview.hpp"
#include "ui/recovery_form.hpp"
#include "ui/recovery_item.hpp"
#include "ui/recovery_prompts.hpp"

class QMovie;
class QTimer;
class MyHeaderView;
class MyQTableView;
class TreeModel;
class progress_bar_c;
class recovery_base_c;
class recovery_delegate_c;
class recovery_file_c;
class recovery_model_c;
namespace qv::ui {
class filter_row_c;
class recovery_preview_c;
class result_presenter_c;
class scan_control_c;
}  // namespace qv::ui

class recovery_window_c : public QWidget {
    Q_OBJECT
public:
    // main_window receives the back button in its slot on_click_recovery_back(); may be null.
    explicit recovery_window_c(QObject* main_window, QWidget* parent = nullptr);
    ~recovery_window_c() override;

    // Starts a scan of volume: 0, or -1 when a scan (or a recovery) runs. When
    // no scanner reads its file system the user is told so and offered the
    // deep scan of the volume: -1 when they decline.
    int scan_volume(const volume_item_s& volume, bool deep);
    // Scans the same volume again with the engine its kind calls for.
    int restart_scan();
    // Loads a saved deep-scan result: 0, or -1 when cancelled, refused or its volume is absent.
    int resume_saved_result();
    // The user leaves the page: empty tree and table, idle engine reset, polling stopped.
    void reset_page();

    // Recovers one row into directory under its own (safe) name, replacing a
    // file of that name: 0, or negative.
    int recover_item(const QDir& directory, const recovery_item_s& row);
    // Puts a new folder tree from the current engine's results on the tree view;
    // false (and an empty tree) when "/" holds no result.
    bool build_folder_tree(int engine_kind);
    // Rebuilds the rows for one folder of the tree and puts a new model on the table.
    void fill_file_table(const QModelIndex& folder);
    void check_all(bool value);
    void clear_folder_tree();

    // State the main window and tests read.
    recovery_base_c* current_engine() const;
    int engine_kind() const;
    bool deep_scan() const;
    const volume_item_s& volume() const;
    const QList<recovery_item_s>& rows() const;
    TreeModel* tree_model() const;
    recovery_model_c* table_model() const;
    const qv::ui::recovery_form_s& form() const { return form_; }
    MyQTableView* table_view() const { return table_; }
    MyHeaderView* table_header() const { return header_; }
    qv::ui::filter_row_c* filter_row() const { return filter_row_; }
    const qv::ui::file_preview_s& preview() const;
    recovery_file_c* worker() const { return worker_.get(); }
    double progress_value() const;
    // True when this build has the engine of that kind.
    static bool has_engine(int engine_kind);
    // What the page asks of the user and the desktop; tests replace it.
    qv::ui::recovery_prompts_s& prompts() { return prompts_; }

public slots:
    void on_timer();
    void on_thread_finished();
    void on_tree_clicked(const QModelIndex& index);
    void on_list_clicked(const QModelIndex& index);
    void on_recovery_clicked();
    void on_stop_clicked();
    void on_pause_clicked();
    void on_save_result_clicked();
    void on_check_all(const bool& value);
    void on_sort_column(int column);

private slots:
    void on_recovery_finished();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void start_engine(int kind);
    void scan_ended();
    bool busy() const;
    void clear_table();
    void show_scan_buttons();

    qv::ui::recovery_form_s form_;
    QObject* main_window_ = nullptr;
    qv::ui::scan_control_c* scan_ = nullptr;
    qv::ui::result_presenter_c* results_ = nullptr;
    std::unique_ptr<qv::ui::recovery_preview_c> preview_;

    MyQTableView* table_ = nullptr;
    MyHeaderView* header_ = nullptr;
    recovery_delegate_c* delegate_ = nullptr;
    qv::ui::filter_row_c* filter_row_ = nullptr;

    progress_bar_c* progress_ = nullptr;
    QTimer* timer_ = nullptr;
    QMovie* movie_ = nullptr;
    std::unique_ptr<recovery_file_c> worker_;
    qv::ui::recovery_prompts_s prompts_;
};
