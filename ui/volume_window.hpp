#pragma once
// The volume page: the list of volumes with refresh, back and scan.

#include <QWidget>

#include <optional>

#include "devices/volume_items.hpp"
#include "ui/list_page.hpp"

class main_window_c;
class volume_delegate_c;
class volume_model_c;

class volume_window_c : public QWidget {
    Q_OBJECT
public:
    // The buttons go to main_window's slots; main_window may be null.
    explicit volume_window_c(main_window_c* main_window, QWidget* parent = nullptr);

    // Puts a new model over volume_items on the list; no row is made current.
    void set_volume_list();
    // Rebuilds volume_items, re-opens the sector layer's drives and puts a new model on the list.
    void refresh_volumes();
    // The current row's volume; none (after the message "scan_nosel_warning") when no row is current.
    std::optional<volume_item_s> selected_volume();

    const qv::ui::list_page_form_s& form() const { return form_; }
    volume_model_c* model() const { return model_; }

signals:
    void start_scan();

public slots:
    // A double click scans like the scan button, whatever row it was on.
    void on_double_clicked(const QModelIndex& index);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    qv::ui::list_page_form_s form_;
    volume_delegate_c* delegate_ = nullptr;
    volume_model_c* model_ = nullptr;
    main_window_c* main_window_ = nullptr;
};
