#include "ui/table_header.hpp"

#include <QMouseEvent>
#include <QPainter>

#include "app/language_settings.hpp"
#include "ui/table_geometry.hpp"

using qv::ui::header_height;
using qv::ui::header_press;
using qv::ui::header_press_s;
using qv::ui::header_section_layout;
using qv::ui::header_section_layout_s;

namespace {

const QColor header_fill(232, 246, 255);
const QColor header_line(211, 231, 255);
const char* const heading_keys[] = {nullptr, "recovery_name", "drive_size", "recovery_date1",
                                    "recovery_date2"};

}  // namespace

MyHeaderView::MyHeaderView(QWidget* parent)
    : QHeaderView(Qt::Horizontal, parent),
      unticked_(":/images/partition_search/check1.png"),
      ticked_(":/images/partition_search/check2.png") {}

QSize MyHeaderView::sizeHint() const {
    QSize size = QHeaderView::sizeHint();
    size.setHeight(header_height);
    return size;
}

void MyHeaderView::set_check_all_state(bool value) {
    checked_ = value;
    viewport()->update();
}

void MyHeaderView::mousePressEvent(QMouseEvent* event) {
    std::array<int, 5> sizes{};
    for (int i = 0; i < 5; ++i) sizes[size_t(i)] = i < count() ? sectionSize(i) : 0;
    // Positions count from the left edge of section 0, also when scrolled.
    int x = int(event->position().x()) + offset();
    header_press_s press = header_press(x, sizes);
    if (press.check_all) {
        checked_ = !checked_;
        emit check_all(checked_);
    } else if (press.sort_column > 0) {
        emit sort_column(press.sort_column);
    }
    viewport()->update();
    QHeaderView::mousePressEvent(event);
}

void MyHeaderView::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const {
    painter->save();
    painter->fillRect(rect, header_fill);
    painter->setPen(QPen(header_line, 1));
    painter->drawLine(rect.left() - 1, rect.top(), rect.left() - 1, rect.bottom());
    painter->drawLine(rect.left(), rect.bottom(), rect.right(), rect.bottom());
    painter->setFont(QFont("Arial", 8));
    painter->setPen(Qt::black);
    const QPixmap& check = checked_ ? ticked_ : unticked_;
    header_section_layout_s layout = header_section_layout(logicalIndex, rect, check.width());
    if (logicalIndex == 0)
        painter->drawPixmap(layout.check, check);
    else if (logicalIndex > 0 && logicalIndex < 5)
        painter->drawText(layout.text, language_text(heading_keys[logicalIndex]));
    painter->restore();
}
