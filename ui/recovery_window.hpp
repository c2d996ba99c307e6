#pragma once
// The recovery page: runs a scan of one volume, shows its progress, the folder
// tree and file table of what it found, previews the clicked file and recovers
// the ticked ones.

#include <QDir>
#include <QList>
#include <QTemporaryDir>
#include <QWidget>

#include <memory>

#include "devices/volume_items.hpp"
#include "engine/recovery_item.hpp"
#include "ui/file_preview.hpp"
#include "ui/recovery_form.hpp"
#include "ui/recovery_prompts.hpp"

class QMovie;
class QTimer;
class MyHeaderView;
class MyQTableView;
class TreeModel;
class fat_recovery_c;
class ntfs_recovery_c;
class progress_bar_c;
class raw_recovery_c;
class recovery_base_c;
class recovery_delegate_c;
class recovery_file_c;
class recovery_model_c;
class recovery_stop_c;

class recovery_window_c : public QWidget {
    Q_OBJECT
public:
    // main_window receives the back button in its slot on_click_recovery_back(); may be null.
    explicit recovery_window_c(QObject* main_window, QWidget* parent = nullptr);
    ~recovery_window_c() override;

    // Starts a scan of volume: 0, or -1 when a scan (or a recovery) runs or no
    // engine reads its file system and no deep scan was asked for.
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
    // false (and an empty tree) when it holds no folder.
    bool build_folder_tree(int engine_kind);
    // Rebuilds the rows for one folder of the tree and puts a new model on the table.
    void fill_file_table(const QModelIndex& folder);
    void check_all(bool value);
    void clear_folder_tree();

    // State the main window and tests read.
    recovery_base_c* current_engine() const { return current_engine_; }
    int engine_kind() const { return engine_kind_; }
    bool deep_scan() const { return deep_scan_; }
    const volume_item_s& volume() const { return volume_; }
    const QList<recovery_item_s>& rows() const { return rows_; }
    TreeModel* tree_model() const { return tree_model_; }
    recovery_model_c* table_model() const { return table_model_; }
    const recovery_form_s& form() const { return form_; }
    MyQTableView* table_view() const { return table_; }
    MyHeaderView* table_header() const { return header_; }
    const file_preview_s& preview() const { return preview_; }
    recovery_file_c* worker() const { return worker_.get(); }
    double progress_value() const;
    // True when this build has the engine of that kind.
    static bool has_engine(int engine_kind);
    // What the page asks of the user and the desktop; tests replace it.
    recovery_prompts_s& prompts() { return prompts_; }

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
    recovery_base_c* engine_of_kind(int kind) const;
    // The engine kind for the stored volume and deep_scan_; -1 when none reads it.
    int choose_engine_kind() const;
    void start_engine(int kind);
    void scan_ended();
    bool busy() const;
    void install_tree_model(TreeModel* model);
    void install_table_model();
    void clear_table();
    void show_preview(const recovery_item_s& row);
    void paint_preview(QPainter& painter);

    recovery_form_s form_;
    QObject* main_window_ = nullptr;
    bool deep_scan_ = false;
    volume_item_s volume_;
    std::unique_ptr<fat_recovery_c> fat_;
#if QUORVANE_HAVE_NTFS
    std::unique_ptr<ntfs_recovery_c> ntfs_;
#endif
#if QUORVANE_HAVE_DEEP
    std::unique_ptr<raw_recovery_c> raw_;
#endif
    std::unique_ptr<recovery_stop_c> stop_engine_;
    recovery_base_c* current_engine_ = nullptr;
    int engine_kind_ = engine_kind_fat;

    MyQTableView* table_ = nullptr;
    MyHeaderView* header_ = nullptr;
    TreeModel* tree_model_ = nullptr;
    recovery_model_c* table_model_ = nullptr;
    recovery_delegate_c* delegate_ = nullptr;
    QList<recovery_item_s> rows_;

    file_preview_s preview_;
    std::unique_ptr<QTemporaryDir> preview_dir_;
    // A preview asked for while the worker ran; shown when it has finished.
    std::unique_ptr<recovery_item_s> pending_preview_;

    progress_bar_c* progress_ = nullptr;
    QTimer* timer_ = nullptr;
    QMovie* movie_ = nullptr;
    std::unique_ptr<recovery_file_c> worker_;
    recovery_prompts_s prompts_;
};
