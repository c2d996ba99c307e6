#include "ui/device_delegates.hpp"

#include <QCoreApplication>
#include <QPainter>

#include "app/language_settings.hpp"
#include "devices/format_size.hpp"
#include "devices/volume_items.hpp"
#include "ui/device_row_layout.hpp"

using qv::ui::device_row_height;
using qv::ui::drive_row_layout;
using qv::ui::drive_row_layout_s;
using qv::ui::fit_size_text;
using qv::ui::fitted_text;
using qv::ui::paint_list_row_background;
using qv::ui::volume_display_name;
using qv::ui::volume_row_layout;
using qv::ui::volume_row_layout_s;

namespace {

const QColor even_row(241, 250, 255);
const QColor selected_row(81, 149, 206);
const QColor heading_row(232, 246, 255);
const QColor separator(211, 231, 255);
const QColor bar_outline(139, 184, 241);

void draw_separators(QPainter* painter, const QRect& row, qreal x1, qreal x2) {
    painter->setPen(QPen(separator, 1));
    painter->drawLine(QPointF(x1, row.top()), QPointF(x1, row.bottom()));
    painter->drawLine(QPointF(x2, row.top()), QPointF(x2, row.bottom()));
}

void draw_elided(QPainter* painter, const QPointF& at, const QString& text, qreal width) {
    painter->drawText(at, painter->fontMetrics().elidedText(text, Qt::ElideMiddle, int(width)));
}

// Drives and volumes read only after a password: asked when the user scans them.
QString password_mark(bool needs_authorization) {
    return needs_authorization ? "  (" + language_text("device_needs_password") + ")" : QString();
}

}  // namespace

namespace qv::ui {

void paint_list_row_background(QPainter* painter, const QStyleOptionViewItem& option, int row) {
    if (row % 2 == 0) painter->fillRect(option.rect, even_row);
    if (option.state & QStyle::State_Selected) painter->fillRect(option.rect, selected_row);
}

}  // namespace qv::ui

// ---- drives ----

drive_delegate_c::drive_delegate_c(QObject* parent) : QStyledItemDelegate(parent) {}

QSize drive_delegate_c::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
    return QSize(option.rect.width(), device_row_height);
}

void drive_delegate_c::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const QVariant value = index.data();
    if (value.metaType() != QMetaType::fromType<drive_item_s>()) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    const drive_item_s drive = value.value<drive_item_s>();
    const drive_row_layout_s l = drive_row_layout(option.rect);
    painter->save();
    paint_list_row_background(painter, option, index.row());
    if (!drive.geometry) {
        painter->fillRect(option.rect, heading_row);
        draw_separators(painter, option.rect, l.separator1, l.separator2);
        painter->setFont(QFont("Verdana", 10));
        painter->setPen(Qt::black);
        painter->drawText(l.name, language_text("drive_physical_drives"));
        painter->drawText(l.size, QCoreApplication::translate("drive_delegate_c", "Size"));
        painter->drawText(l.number, QCoreApplication::translate("drive_delegate_c", "Number"));
    } else {
        painter->setFont(QFont("Verdana", 8));
        painter->setPen(Qt::black);
        draw_elided(painter, l.name, drive.name + password_mark(drive.needs_authorization),
                    l.separator1 - l.name.x() - 5);
        painter->drawText(l.size, format_size(uint64_t(std::max<int64_t>(0, drive.size))));
        painter->drawText(l.number, QString::asprintf("%d", index.row()));
    }
    painter->restore();
}

// ---- volumes ----

volume_delegate_c::volume_delegate_c(QObject* parent)
    : QStyledItemDelegate(parent),
      drive_icon_(":/images/partition_search/drives.png"),
      red_(":/images/partition_search/red.png"),
      green_(":/images/partition_search/green.png") {}

QSize volume_delegate_c::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
    return QSize(option.rect.width(), device_row_height);
}

void volume_delegate_c::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const QVariant value = index.data();
    if (value.metaType() != QMetaType::fromType<volume_item_s>()) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    const volume_item_s volume = value.value<volume_item_s>();
    const int fill_height = (red_.isNull() ? 18 : red_.height()) + 1;
    // Unknown free space draws no bar: an empty or a full one would both be wrong.
    const volume_row_layout_s l = volume_row_layout(option.rect, volume.free_bytes,
                                                    volume.free_known ? volume.total_bytes : 0, fill_height);
    painter->save();
    paint_list_row_background(painter, option, index.row());
    if (volume.mount_path.isEmpty()) {
        painter->fillRect(option.rect, heading_row);
        draw_separators(painter, option.rect, l.separator1, l.separator2);
        painter->setFont(QFont("Arial", 10));
        painter->setPen(Qt::black);
        painter->drawText(l.heading_name, language_text("volume_logical_drives"));
        painter->drawText(l.heading_size, language_text("drive_size"));
        painter->drawText(l.heading_file_system, language_text("partition_fs"));
        painter->restore();
        return;
    }
    draw_separators(painter, option.rect, l.separator1, l.separator2);
    if (!drive_icon_.isNull()) painter->drawPixmap(l.icon, drive_icon_);
    painter->setFont(QFont("Arial", 8));
    painter->setPen(Qt::black);
    draw_elided(painter, l.name, volume_display_name(volume) + password_mark(volume.needs_authorization),
                l.name_width);
    painter->setPen(QPen(bar_outline, 1));
    painter->drawRect(l.bar);
    painter->setPen(Qt::black);
    const QString lead = volume.free_known ? format_size(volume.free_bytes) + language_text("recovery_free")
                                           : language_text("free_unknown");
    const fitted_text text = fit_size_text(painter->font(), lead, format_size(volume.total_bytes), l.size_text_width);
    painter->setFont(text.font);
    if (text.lines.size() == 1)
        painter->drawText(l.size_text, text.lines[0]);
    else
        for (int i = 0; i < 2; ++i) painter->drawText(l.size_text_lines[i], text.lines[i]);
    painter->setFont(QFont("Arial", 8));
    painter->drawText(l.file_system, volume.file_system);
    if (l.has_fill && l.fill.width() > 0) {
        const QPixmap& image = l.red ? red_ : green_;
        painter->setBrushOrigin(QPointF(0, l.fill.top()));
        painter->fillRect(l.fill, image.isNull() ? QBrush(l.red ? Qt::red : Qt::green) : QBrush(image));
    }
    painter->restore();
}
