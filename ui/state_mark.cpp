#include "ui/state_mark.hpp"

#include <QPainter>
#include <QPen>

#include <algorithm>
#include <cmath>

#include "app/language_settings.hpp"

namespace qv::ui {

state_mark_s state_mark(qv::item_state state) {
    switch (state) {
        case qv::item_state::intact:
            return {state_mark_shape::circle, QColor(0x1b, 0x9e, 0x3e)};
        case qv::item_state::assembled:
            return {state_mark_shape::triangle, QColor(0xe6, 0x9f, 0x00)};
        case qv::item_state::overwritten:
            return {state_mark_shape::cross, QColor(0xd5, 0x2a, 0x1e)};
        case qv::item_state::damaged:
            return {state_mark_shape::square, QColor(0x00, 0x72, 0xb2)};
        case qv::item_state::unknown:
            break;
    }
    return {};
}

state_mark_layout_s state_mark_layout(const QRect& text_rect, bool has_mark) {
    if (!has_mark) return {QRect(), text_rect};
    const int side = std::min(state_mark_side, std::max(text_rect.height(), 0));
    const int top = text_rect.top() + (text_rect.height() - side) / 2;
    state_mark_layout_s l;
    l.mark = QRect(text_rect.left(), top, side, side);
    const int shift = std::min(side + state_mark_gap, std::max(text_rect.width(), 0));
    l.text = text_rect.adjusted(shift, 0, 0, 0);
    return l;
}

QPolygonF state_mark_outline(state_mark_shape shape, const QRectF& r) {
    switch (shape) {
        case state_mark_shape::circle: {
            QPolygonF p;
            constexpr int steps = 24;
            const QPointF c = r.center();
            for (int i = 0; i < steps; ++i) {
                const double a = 2 * 3.14159265358979 * i / steps;
                p << QPointF(c.x() + r.width() / 2 * std::cos(a), c.y() + r.height() / 2 * std::sin(a));
            }
            return p;
        }
        case state_mark_shape::triangle:
            return QPolygonF({QPointF(r.center().x(), r.top()), r.bottomRight(), r.bottomLeft()});
        case state_mark_shape::cross:
            return QPolygonF({r.topLeft(), r.bottomRight(), r.topRight(), r.bottomLeft()});
        case state_mark_shape::square:
            return QPolygonF(r);
        case state_mark_shape::none:
            break;
    }
    return {};
}

void paint_state_mark(QPainter& painter, const state_mark_s& mark, const QRect& rect) {
    if (mark.shape == state_mark_shape::none || rect.isEmpty()) return;
    const QPolygonF outline = state_mark_outline(mark.shape, QRectF(rect).adjusted(0.5, 0.5, -0.5, -0.5));
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    if (mark.shape == state_mark_shape::cross) {
        for (const auto& [width, colour] : {std::pair{3.5, QColor(Qt::white)}, std::pair{2.0, mark.colour}}) {
            painter.setPen(QPen(colour, width, Qt::SolidLine, Qt::RoundCap));
            painter.drawLine(outline[0], outline[1]);
            painter.drawLine(outline[2], outline[3]);
        }
    } else {
        painter.setPen(QPen(QColor(Qt::white), 1));
        painter.setBrush(mark.colour);
        painter.drawPolygon(outline);
    }
    painter.restore();
}

QString state_tooltip(qv::item_state state, const QString& short_name) {
    QString text;
    switch (state) {
        case qv::item_state::intact:
            text = language_text("state_intact");
            break;
        case qv::item_state::assembled:
            text = language_text("state_assembled");
            break;
        case qv::item_state::overwritten:
            text = language_text("state_overwritten");
            break;
        case qv::item_state::damaged:
            text = language_text("state_damaged");
            break;
        case qv::item_state::unknown:
            break;
    }
    if (!short_name.isEmpty()) {
        if (!text.isEmpty()) text += '\n';
        text += language_text("state_short_name").arg(short_name);
    }
    return text;
}

}  // namespace qv::ui
