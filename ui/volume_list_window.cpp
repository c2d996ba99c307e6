#include "ui/volume_list_window.hpp"

#include <QLabel>
#include <QListWidget>
#include <QVBoxLayout>

#include "app/language_settings.hpp"
#include "devices/format_size.hpp"
#include "devices/volume_items.hpp"

volume_list_window_c::volume_list_window_c(QWidget* parent) : QWidget(parent) {
    setObjectName("MainForm");
    setWindowTitle("Quorvane");
    resize(640, 420);
    auto* layout = new QVBoxLayout(this);
    heading_ = new QLabel(language_text("volume_logical_drives"), this);
    QFont f = heading_->font();
    f.setPointSize(f.pointSize() + 2);
    f.setBold(true);
    heading_->setFont(f);
    list_ = new QListWidget(this);
    list_->setObjectName("lv_volumes");
    list_->addItem(language_text("startup_warning"));
    layout->addWidget(heading_);
    layout->addWidget(list_);
}

void volume_list_window_c::on_init_finished() {
    list_->clear();
    for (qsizetype i = 1; i < volume_items.size(); ++i) {
        const volume_item_s& v = volume_items[i];
        QString label = v.label.isEmpty() ? language_text("local_disk") : v.label;
        list_->addItem(QString("%1   %2   [%3]   %4%5%6")
                           .arg(v.mount_path, label, v.file_system.isEmpty() ? "?" : v.file_system,
                                format_size(v.free_bytes), language_text("recovery_free"),
                                format_size(v.total_bytes)));
    }
}
