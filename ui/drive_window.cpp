#include "ui/drive_window.hpp"

#include <QListView>
#include <QPushButton>

#include "ui/device_delegates.hpp"
#include "ui/device_models.hpp"
#include "ui/main_window.hpp"
#include "ui/skin_resources.hpp"

drive_window_c::drive_window_c(main_window_c* main_window, QWidget* parent)
    : QWidget(parent), main_window_(main_window) {
    qv::ui::init_skin_resources();
    form_.setup(this, "DriveForm", "lv_drives");
    delegate_ = new drive_delegate_c(this);
    form_.list->setItemDelegate(delegate_);
    if (main_window_) {
        connect(form_.btn_refresh, &QPushButton::clicked, main_window_, &main_window_c::on_click_drive_refresh);
        connect(form_.btn_back, &QPushButton::clicked, main_window_, &main_window_c::on_click_drive_back);
        connect(form_.btn_scan, &QPushButton::clicked, main_window_, &main_window_c::on_click_drive_scan);
    }
    resize(794, 496);
}

void drive_window_c::install_model() {
    model_ = new drive_model_c(drive_items, form_.list);
    qv::ui::install_list_model(form_.list, model_);
}

void drive_window_c::set_drive_list() {
    install_model();
    if (model_->rowCount() > 1) form_.list->setCurrentIndex(model_->index(1, 0));
}

void drive_window_c::refresh_drives() {
    enumerate_drives();
    install_model();
}

std::optional<drive_item_s> drive_window_c::selected_drive() const {
    const QModelIndex current = form_.list->currentIndex();
    if (!current.isValid()) return std::nullopt;
    const QVariant value = current.data();
    if (value.metaType() != QMetaType::fromType<drive_item_s>()) return std::nullopt;
    return value.value<drive_item_s>();
}

void drive_window_c::paintEvent(QPaintEvent*) { qv::ui::paint_list_page(this); }

void drive_window_c::resizeEvent(QResizeEvent* event) {
    form_.lay_out(size());
    QWidget::resizeEvent(event);
}
