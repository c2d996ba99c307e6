#pragma once
// The partition page: searches the chosen drive for lost partitions, lists
// them as they are found, says what the drive's own table holds and writes
// the found ones back as the partition table on request.

#include <QTimer>
#include <QWidget>

#include <memory>

#include "devices/volume_items.hpp"
#include "partition/partition_item.hpp"

class QListView;
class QPushButton;
class main_window_c;
class partition_delegate_c;
class partition_model_c;
class partition_repair_c;
class progress_bar_c;

class partition_window_c : public QWidget {
    Q_OBJECT
public:
    // The back button goes to main_window's on_click_partition_back(); main_window may be null.
    explicit partition_window_c(main_window_c* main_window, QWidget* parent = nullptr);
    // Ends a running search and waits for it.
    ~partition_window_c() override;

    // Starts the search of drive (a copy is kept) at the likely places, ending
    // one that runs; the list starts empty. When it ends having found nothing
    // lost, a visible page offers to search every sector.
    void start_search(const drive_item_s& drive);
    // Ends a running search (waiting the moment it takes); btn_stop then reads "btn_start".
    void stop_search();
    bool searching() const;

    partition_repair_c& search() const { return *search_; }
    progress_bar_c& progress_bar() const { return *progress_; }
    partition_model_c* model() const { return model_; }
    QListView* list() const { return lv_volumes_; }
    QPushButton* stop_button() const { return btn_stop_; }
    QPushButton* repair_button() const { return btn_repair_; }
    QPushButton* back_button() const { return btn_back_; }

public slots:
    void on_partition_found();
    void on_thread_finished();
    void on_timer();
    void on_stop_clicked();
    void on_repair_clicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void show_partitions();
    void show_partitions(const QList<partition_item_s>& partitions);
    void end_search();
    // Starts a fresh search of drive with the search's current reach.
    void run_search(const drive_item_s& drive);
    // False once a search has found only partitions the drive's table lists.
    bool repair_offered() const;

    std::unique_ptr<partition_repair_c> search_;
    progress_bar_c* progress_ = nullptr;
    QTimer timer_;
    QPushButton* btn_repair_ = nullptr;
    QListView* lv_volumes_ = nullptr;
    QPushButton* btn_back_ = nullptr;
    QPushButton* btn_stop_ = nullptr;
    partition_delegate_c* delegate_ = nullptr;
    partition_model_c* model_ = nullptr;
    main_window_c* main_window_ = nullptr;
};
