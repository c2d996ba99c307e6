#pragma once
// The drive page: the list of physical drives (and opened images) with refresh, back and scan.

#include <QWidget>

#include <optional>

#include "devices/volume_items.hpp"
#include "ui/list_page.hpp"

class main_window_c;
class drive_delegate_c;
class drive_model_c;

class drive_window_c : public QWidget {
    Q_OBJECT
public:
    // The buttons go to main_window's slots; main_window may be null.
    explicit drive_window_c(main_window_c* main_window, QWidget* parent = nullptr);

    // Puts a new model over drive_items on the list and makes row 1 (the first drive) current.
    void set_drive_list();
    // Rebuilds drive_items and puts a new model on the list; no row is made current.
    void refresh_drives();
    // The current row's drive, or none.
    std::optional<drive_item_s> selected_drive() const;

    const qv::ui::list_page_form_s& form() const { return form_; }
    drive_model_c* model() const { return model_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void install_model();

    qv::ui::list_page_form_s form_;
    drive_delegate_c* delegate_ = nullptr;
    drive_model_c* model_ = nullptr;
    main_window_c* main_window_ = nullptr;
};
