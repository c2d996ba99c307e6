#pragma once
// The recoverability mark in a file-table name cell: its shape, colour, place
// and tooltip, as plain values the delegate paints and tests check.

#include <QColor>
#include <QPolygonF>
#include <QRect>
#include <QString>

#include "engine/found_item.hpp"

class QPainter;

namespace qv::ui {

// Shapes differ as well as colours, so the marks read without colour vision.
enum class state_mark_shape { none, circle, triangle, cross, square };

struct state_mark_s {
    state_mark_shape shape = state_mark_shape::none;
    QColor colour;
};

// intact: green circle; assembled: amber triangle; overwritten: red cross;
// damaged: blue square; unknown: no mark.
state_mark_s state_mark(qv::item_state state);

// Where the mark and the name go in a cell's text rectangle: a square mark of
// state_mark_side pixels centred on the row, the name after it. Without a mark
// the name keeps the whole rectangle.
struct state_mark_layout_s {
    QRect mark;
    QRect text;
};
inline constexpr int state_mark_side = 9;
inline constexpr int state_mark_gap = 4;
state_mark_layout_s state_mark_layout(const QRect& text_rect, bool has_mark);

// The outline to fill (circle, triangle, square) or the two strokes (cross, as
// four points: one line from 0 to 1, one from 2 to 3) inside mark.
QPolygonF state_mark_outline(state_mark_shape shape, const QRectF& mark);

// Paints the mark into rect with a light rim, so it shows on the selected row's
// blue as well as on white; nothing for no mark or an empty rect.
void paint_state_mark(QPainter& painter, const state_mark_s& mark, const QRect& rect);

// The name cell's tooltip: what the state means, and the original short name
// when a long name was recovered. Empty when there is nothing to tell.
QString state_tooltip(qv::item_state state, const QString& short_name);

}  // namespace qv::ui
