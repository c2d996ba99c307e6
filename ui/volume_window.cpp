#include "ui/volume_window.hpp"

#include <QListView>
#include <QPushButton>

#include "engine/sector_device.hpp"
#include "engine/volume_free_space.hpp"
#include "ui/device_delegates.hpp"
#include "ui/device_models.hpp"
#include "ui/main_window.hpp"
#include "ui/shell_prompts.hpp"
#include "ui/skin_resources.hpp"

using qv::ui::init_skin_resources;
using qv::ui::install_list_model;
using qv::ui::paint_list_page;
using qv::ui::shell_message;

volume_window_c::volume_window_c(main_window_c* main_window, QWidget* parent)
    : QWidget(parent), main_window_(main_window) {
    init_skin_resources();
    form_.setup(this, "VolumeForm", "lv_volumes");
    delegate_ = new volume_delegate_c(this);
    form_.list->setItemDelegate(delegate_);
    if (main_window_) {
        connect(form_.btn_scan, &QPushButton::clicked, main_window_, &main_window_c::on_click_volume_scan);
        connect(this, &volume_window_c::start_scan, main_window_, &main_window_c::on_click_volume_scan);
        connect(form_.btn_back, &QPushButton::clicked, main_window_, &main_window_c::on_click_volume_back);
        connect(form_.btn_refresh, &QPushButton::clicked, main_window_, &main_window_c::on_click_volume_refresh);
    }
    connect(form_.list, &QListView::doubleClicked, this, &volume_window_c::on_double_clicked);
    resize(794, 496);
}

void volume_window_c::set_volume_list() {
    model_ = new volume_model_c(volume_items, form_.list);
    install_list_model(form_.list, model_);
}

void volume_window_c::refresh_volumes() {
    enumerate_volumes();
    qv::count_unmounted_free_space(volume_items);
    reopen_physical_drives();
    set_volume_list();
}

std::optional<volume_item_s> volume_window_c::selected_volume() {
    const QModelIndex current = form_.list->currentIndex();
    if (current.isValid()) {
        const QVariant value = current.data();
        if (value.metaType() == QMetaType::fromType<volume_item_s>()) return value.value<volume_item_s>();
    }
    shell_message(this, "Quorvane", "scan_nosel_warning");
    return std::nullopt;
}

void volume_window_c::on_double_clicked(const QModelIndex&) { emit start_scan(); }

void volume_window_c::paintEvent(QPaintEvent*) { paint_list_page(this); }

void volume_window_c::resizeEvent(QResizeEvent* event) {
    form_.lay_out(size());
    QWidget::resizeEvent(event);
}
