#include "ui/skin_buttons.hpp"

bool top_button_c::hit_test(const QPoint& point, const QRect&) const {
    return point.x() >= rect.left() && point.x() <= rect.right() && point.y() >= rect.top() &&
           point.y() <= rect.bottom();
}

void top_button_c::paint(QPainter& painter, const QRect&) const {
    const QPixmap& image = current_image();
    if (!image.isNull()) painter.drawPixmap(rect.topLeft(), image);
}

bool system_button_c::hit_test(const QPoint& point, const QRect& window) const {
    const int x = window.right() - point.x();
    return x >= rect.left() && x <= rect.right() && point.y() >= rect.top() && point.y() <= rect.bottom();
}

void system_button_c::paint(QPainter& painter, const QRect& window) const {
    const QPixmap& image = current_image();
    if (!image.isNull()) painter.drawPixmap(QPoint(window.right() - rect.right(), rect.top()), image);
}
